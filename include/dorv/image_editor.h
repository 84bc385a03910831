// The in-memory file tree behind an FCS handle, and its iterator.
#ifndef DORV_IMAGE_EDITOR_H
#define DORV_IMAGE_EDITOR_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "dorv/cfg_types.h"
#include "dorv/export.h"

namespace image_editor {

class Directory;

// A node of the tree. The virtual operations keep this slot order.
class DORV_API IFile {
public:
    static constexpr std::size_t kNameSize = 48;

    // `header` points into `record`: a copy would point into the original's
    // bytes, so nodes are not copied (they live behind shared pointers).
    IFile(const IFile&) = delete;
    IFile& operator=(const IFile&) = delete;

    virtual bool isDirectory() = 0;
    // Bytes of the node's record, and for a directory those of everything below.
    virtual uint32_t getSize() = 0;
    // A directory keeps the node among its children in name order (the name
    // argument is not used); a file refuses.
    virtual bool addFile(const std::string& name, std::shared_ptr<IFile> file) = 0;
    // A directory removes the first child named by the path's part before its
    // first '/', or passes the rest on to it; a file refuses.
    virtual bool deleteFile(const std::string& path) = 0;
    // A directory hands out its first child of exactly that name; a file
    // finds nothing.
    virtual bool getFile(const std::string& name, std::shared_ptr<IFile>* out) = 0;
    // Appends the header of each file record below (a file: its own) to
    // entries, with data_offset set to where its payload lands in data, and
    // the payload to data.
    virtual void serialize(std::vector<_cfg_file_entry_t>& entries, std::vector<uint8_t>& data) = 0;
    virtual ~IFile();

    // parentPath + "/" + the node's name, or the name alone without a parent path.
    std::string getFullPath();

    std::vector<uint8_t> record;   // 12-byte header, then the payload
    char name[kNameSize] = {};     // NUL-padded; 48 bytes leave no terminator
    _cfg_file_entry_t* header = nullptr;  // start of record, null when empty
    std::string parentPath;
    Directory* parent = nullptr;

protected:
    IFile() = default;
};

class DORV_API File : public IFile {
public:
    // Copies `length` bytes of the record and at most 48 bytes of the name.
    // A record shorter than its 12-byte header (or a null one) throws
    // std::invalid_argument; so does the Directory constructor that takes one.
    File(const uint8_t* record, uint32_t length, const char* name);
    bool isDirectory() override;
    uint32_t getSize() override;
    bool addFile(const std::string& name, std::shared_ptr<IFile> file) override;
    bool deleteFile(const std::string& path) override;
    bool getFile(const std::string& name, std::shared_ptr<IFile>* out) override;
    void serialize(std::vector<_cfg_file_entry_t>& entries, std::vector<uint8_t>& data) override;
    ~File() override;
};

class DORV_API Directory : public IFile {
public:
    // An empty directory without a record (the root of every FCS tree).
    Directory();
    // A directory holding a copy of a record of at least 12 bytes.
    Directory(const uint8_t* record, uint32_t length);
    bool isDirectory() override;
    uint32_t getSize() override;
    bool addFile(const std::string& name, std::shared_ptr<IFile> file) override;
    bool deleteFile(const std::string& path) override;
    bool getFile(const std::string& name, std::shared_ptr<IFile>* out) override;
    void serialize(std::vector<_cfg_file_entry_t>& entries, std::vector<uint8_t>& data) override;
    ~Directory() override;

    std::deque<std::shared_ptr<IFile>> children;  // in fileCompare order
};

// True when a's name sorts before b's (bytewise, unsigned, shorter prefix first).
DORV_API bool fileCompare(std::shared_ptr<IFile> a, std::shared_ptr<IFile> b);

// Pre-order walk over a tree.
class DORV_API FileIterator {
public:
    // Starts the walk at once (firstFile).
    explicit FileIterator(std::shared_ptr<IFile> root);
    ~FileIterator();
    // The name of the root's first child, or "" when there is none (or the
    // root is no directory).
    std::string firstFile();
    // The full path (getFullPath) of the next node in pre-order, or "" at the
    // end (also when the walk has nowhere to stand).
    std::string nextFile();

    std::shared_ptr<IFile> root;
    Directory* current = nullptr;
    int32_t index = 0;

private:
    // The directories from the root down to `current`, each with a share that
    // keeps it alive while the walk stands in it, and the position it was
    // entered from. `current` is only followed while it matches the last step.
    struct Step {
        std::shared_ptr<IFile> share;
        Directory* dir;
        int32_t enteredAt;
    };
    std::vector<Step> trail_;
};

}  // namespace image_editor

#endif
