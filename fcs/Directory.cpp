#include <algorithm>
#include <unordered_set>
#include <vector>

#include "dorv/image_editor.h"
#include "fcs/file_tree_internal.h"

namespace image_editor {

namespace {

using Children = std::deque<std::shared_ptr<IFile>>;

// The first child whose name equals `name`; the children are kept sorted, so
// this is the first of a run of equal names.
Children::iterator findFirst(Children& children, std::string_view name) {
    auto at = dorv::tree::firstNotBefore(children, name);
    if (at != children.end() && dorv::tree::nameOf(*at) == name) return at;
    return children.end();
}

// True when `target` lies in the subtree below `top`. Nodes may be shared by
// several directories, so each directory is looked into once.
bool holds(Directory& top, const IFile* target) {
    std::vector<Directory*> pending{&top};
    std::unordered_set<const Directory*> seen{&top};
    while (!pending.empty()) {
        Directory* dir = pending.back();
        pending.pop_back();
        for (const auto& child : dir->children) {
            if (child.get() == target) return true;
            Directory* sub = dorv::tree::asDirectory(child.get());
            if (sub != nullptr && seen.insert(sub).second) pending.push_back(sub);
        }
    }
    return false;
}

}  // namespace

Directory::Directory() = default;

Directory::Directory(const uint8_t* record, uint32_t length) {
    dorv::tree::adoptRecord(*this, record, length);
}

Directory::~Directory() {
    // Children go first, before the directory's own members.
    children.clear();
}

bool Directory::isDirectory() { return true; }

uint32_t Directory::getSize() {
    auto size = static_cast<uint32_t>(record.size());
    for (const auto& child : children) {
        if (child) size += child->getSize();  // wraps, as a 32-bit total does
    }
    return size;
}

bool Directory::addFile(const std::string&, std::shared_ptr<IFile> file) {
    // A missing node, or a directory that would end up inside itself, would
    // make every later walk over the tree fault or never end.
    if (!file) return false;
    if (Directory* dir = dorv::tree::asDirectory(file.get())) {
        if (dir == this || holds(*dir, this)) return false;
    }
    // Insert after any equal names so that lookups keep reaching the earliest;
    // files arriving in name order (a flushed table) are appended directly.
    const std::string_view key = dorv::tree::nameOf(file);
    if (children.empty() || !(key < dorv::tree::nameOf(children.back()))) {
        children.push_back(std::move(file));
        return true;
    }
    auto at = std::upper_bound(children.begin(), children.end(), key,
                               [](std::string_view k, const std::shared_ptr<IFile>& child) {
                                   return k < dorv::tree::nameOf(child);
                               });
    children.insert(at, std::move(file));
    return true;
}

bool Directory::getFile(const std::string& name, std::shared_ptr<IFile>* out) {
    if (out == nullptr) return false;
    auto at = findFirst(children, name);
    if (at == children.end()) return false;
    *out = *at;
    return true;
}

bool Directory::deleteFile(const std::string& path) {
    const std::size_t slash = path.find('/');
    const std::string_view first = std::string_view(path).substr(0, slash);
    if (first.empty()) return false;
    auto at = findFirst(children, first);
    if (at == children.end()) return false;
    if (slash != std::string::npos && slash + 1 < path.size()) {
        return (*at)->deleteFile(path.substr(slash + 1));
    }
    children.erase(at);
    return true;
}

void Directory::serialize(std::vector<_cfg_file_entry_t>& entries, std::vector<uint8_t>& data) {
    for (const auto& child : children) {
        if (child) child->serialize(entries, data);
    }
}

}  // namespace image_editor
