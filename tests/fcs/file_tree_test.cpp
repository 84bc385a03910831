#include <gtest/gtest.h>

#include <stdexcept>
#include <type_traits>

#include "common/le_bytes.h"
#include "dorv/image_editor.h"
#include "support/file_tree_builders.h"

namespace {

using image_editor::Directory;
using image_editor::File;
using image_editor::IFile;
using dorv::test::makeDir;
using dorv::test::makeFile;
using dorv::test::makeRecord;

std::vector<std::string> childNames(const Directory& dir) {
    std::vector<std::string> names;
    for (const auto& child : dir.children) names.emplace_back(child->nameView());
    return names;
}

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(FileTree, SmokeAddFindSerialise) {
    Directory root;
    ASSERT_TRUE(root.addFile("b", makeFile("b", bytes("BBB"), 7)));
    ASSERT_TRUE(root.addFile("a", makeFile("a", bytes("A"), 9)));
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(root.getSize(), 12u + 1 + 12 + 3);

    std::shared_ptr<IFile> found;
    ASSERT_TRUE(root.getFile("b", &found));
    EXPECT_EQ(found->record.size(), 15u);

    std::vector<_cfg_file_entry_t> entries;
    std::vector<uint8_t> data;
    root.serialize(entries, data);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].file_number, 9u);
    EXPECT_EQ(entries[0].data_offset, 0u);
    EXPECT_EQ(entries[0].data_length, 1u);
    EXPECT_EQ(entries[1].file_number, 7u);
    EXPECT_EQ(entries[1].data_offset, 1u);
    EXPECT_EQ(entries[1].data_length, 3u);
    EXPECT_EQ(data, bytes("ABBB"));
}

TEST(FileTree, FileConstructionCopiesRecordAndRewritesLength) {
    std::vector<uint8_t> record = makeRecord(0x11223344, bytes("xyz"), 0x81, 0x5A, 0xFFFF);
    const std::vector<uint8_t> original = record;
    File file(record.data(), static_cast<uint32_t>(record.size()), "name");

    EXPECT_EQ(record, original);  // the caller's bytes are not touched
    ASSERT_EQ(file.record.size(), 15u);
    EXPECT_EQ(file.header, reinterpret_cast<_cfg_file_entry_t*>(file.record.data()));
    EXPECT_EQ(file.record[8], 3);  // data_length = 15 - 12, little-endian
    EXPECT_EQ(file.record[9], 0);
    for (std::size_t i : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 10u, 11u, 12u, 13u, 14u}) {
        EXPECT_EQ(file.record[i], original[i]) << "byte " << i;
    }
    EXPECT_EQ(file.nameView(), "name");
    EXPECT_TRUE(file.parentPath.empty());
    EXPECT_EQ(file.parent, nullptr);
    EXPECT_FALSE(file.isDirectory());
    EXPECT_EQ(file.getSize(), 15u);
    EXPECT_EQ(file.getFullPath(), "name");

    // Empty payload, the largest record, and a length cut to 16 bits.
    const std::vector<uint8_t> empty = makeRecord(1, {});
    File bare(empty.data(), 12, "e");
    EXPECT_EQ(dorv::le::load16(bare.record.data() + 8), 0u);
    EXPECT_EQ(bare.getSize(), 12u);

    const std::vector<uint8_t> big = makeRecord(1, std::vector<uint8_t>(65523, 0x77));
    File largest(big.data(), 65535, "big");
    EXPECT_EQ(dorv::le::load16(largest.record.data() + 8), 65523u);

    const std::vector<uint8_t> huge = makeRecord(1, std::vector<uint8_t>(70000 - 12, 0x77));
    File cut(huge.data(), 70000, "huge");
    EXPECT_EQ(dorv::le::load16(cut.record.data() + 8), (70000u - 12u) & 0xFFFFu);
    EXPECT_EQ(cut.getSize(), 70000u);
}

TEST(FileTree, ConstructorsRefuseRecordsShorterThanTheHeader) {
    const std::vector<uint8_t> record(11, 0);
    EXPECT_THROW(File(record.data(), 11, "x"), std::invalid_argument);
    EXPECT_THROW(File(nullptr, 12, "x"), std::invalid_argument);
    EXPECT_THROW(Directory(record.data(), 0), std::invalid_argument);
    // A missing name reads as an empty one.
    const std::vector<uint8_t> ok = makeRecord(1, {});
    EXPECT_EQ(File(ok.data(), 12, nullptr).nameView(), "");
}

TEST(FileTree, NamesAreBoundedTo48Bytes) {
    const std::string exact(48, 'n');
    const std::string longer = exact + "tail";
    auto full = makeFile(exact);
    auto cut = makeFile(longer);
    EXPECT_EQ(full->nameView(), exact);  // no terminator, still 48 bytes
    EXPECT_EQ(cut->nameView(), exact);
    EXPECT_EQ(cut->getFullPath(), exact);

    Directory root;
    root.addFile("", cut);
    std::shared_ptr<IFile> out;
    EXPECT_FALSE(root.getFile(longer, &out));
    EXPECT_FALSE(root.deleteFile(longer));
    EXPECT_TRUE(root.getFile(exact, &out));
    EXPECT_EQ(out, cut);
    // A neighbouring 48-byte name compares over its 48 bytes only.
    EXPECT_FALSE(image_editor::fileCompare(full, cut));
    EXPECT_FALSE(image_editor::fileCompare(cut, full));
}

TEST(FileTree, DirectoryConstructionAndSize) {
    Directory empty;
    EXPECT_TRUE(empty.isDirectory());
    EXPECT_TRUE(empty.record.empty());
    EXPECT_EQ(empty.header, nullptr);
    EXPECT_EQ(empty.nameView(), "");
    EXPECT_EQ(empty.getSize(), 0u);
    std::vector<_cfg_file_entry_t> entries;
    std::vector<uint8_t> data{1, 2};
    empty.serialize(entries, data);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(data.size(), 2u);

    const std::vector<uint8_t> record = makeRecord(5, bytes("pay"), 0, 0, 0);
    Directory withRecord(record.data(), static_cast<uint32_t>(record.size()));
    EXPECT_EQ(withRecord.nameView(), "");
    EXPECT_EQ(withRecord.header, reinterpret_cast<_cfg_file_entry_t*>(withRecord.record.data()));
    EXPECT_EQ(dorv::le::load16(withRecord.record.data() + 8), 3u);
    EXPECT_EQ(withRecord.getSize(), 15u);
    withRecord.addFile("", makeFile("f", bytes("12345")));
    EXPECT_EQ(withRecord.getSize(), 15u + 17u);
    withRecord.serialize(entries, data);
    ASSERT_EQ(entries.size(), 1u);  // only the child: the directory emits nothing
    EXPECT_EQ(entries[0].data_offset, 2u);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, '1', '2', '3', '4', '5'}));

    static_assert(!std::is_copy_constructible_v<File>);
    static_assert(!std::is_copy_assignable_v<Directory>);
}

TEST(FileTree, FileCompareOrder) {
    auto less = [](const std::string& a, const std::string& b) {
        return image_editor::fileCompare(makeFile(a), makeFile(b));
    };
    EXPECT_TRUE(less("A", "a"));
    EXPECT_TRUE(less("a", "a.b"));
    EXPECT_FALSE(less("a.b", "a"));
    EXPECT_TRUE(less("a.b/", "a/"));
    EXPECT_TRUE(less("z", "\x80"));  // bytes compare unsigned
    EXPECT_FALSE(less("\x80", "z"));
    EXPECT_FALSE(less("same", "same"));
    EXPECT_TRUE(less("", "a"));
    // A directory has no name and is not placed before files for any other reason.
    EXPECT_TRUE(image_editor::fileCompare(makeDir(), makeFile("a")));
    EXPECT_FALSE(image_editor::fileCompare(makeDir("b"), makeFile("a")));
    // A missing node reads as an empty name.
    EXPECT_TRUE(image_editor::fileCompare(nullptr, makeFile("a")));
    EXPECT_FALSE(image_editor::fileCompare(makeFile("a"), nullptr));
}

TEST(FileTree, AddFileKeepsChildrenSorted) {
    Directory root;
    for (const char* name : {"m", "\x80", "a/", "a.b/", "A", "zz", "a", ""}) {
        ASSERT_TRUE(root.addFile("ignored", makeFile(name)));
    }
    EXPECT_EQ(childNames(root),
              (std::vector<std::string>{"", "A", "a", "a.b/", "a/", "m", "zz", "\x80"}));
    // The name argument is not used; the node keeps its own name.
    root.addFile("zzz", makeFile("b"));
    EXPECT_EQ(root.children[5]->nameView(), "b");

    // Equal names are all kept; later ones go after earlier ones.
    Directory dup;
    auto first = makeFile("d", bytes("1"));
    auto second = makeFile("d", bytes("2"));
    dup.addFile("", makeFile("e"));
    dup.addFile("", first);
    dup.addFile("", makeFile("c"));
    dup.addFile("", second);
    ASSERT_EQ(childNames(dup), (std::vector<std::string>{"c", "d", "d", "e"}));
    EXPECT_EQ(dup.children[1], first);
    EXPECT_EQ(dup.children[2], second);
    std::shared_ptr<IFile> out;
    ASSERT_TRUE(dup.getFile("d", &out));
    EXPECT_EQ(out, first);
    ASSERT_TRUE(dup.deleteFile("d"));
    ASSERT_TRUE(dup.getFile("d", &out));
    EXPECT_EQ(out, second);

    // A file takes no children and changes nothing.
    auto leaf = makeFile("leaf");
    EXPECT_FALSE(leaf->addFile("x", makeFile("x")));
    EXPECT_EQ(leaf->getSize(), 16u);
}

TEST(FileTree, AddFileRefusesMissingNodesAndCycles) {
    auto root = makeDir();
    auto inner = makeDir("inner");
    auto deeper = makeDir("deeper");
    EXPECT_FALSE(root->addFile("", nullptr));
    EXPECT_FALSE(root->addFile("", root));
    ASSERT_TRUE(root->addFile("", inner));
    ASSERT_TRUE(inner->addFile("", deeper));
    EXPECT_FALSE(deeper->addFile("", root));   // root is above deeper
    EXPECT_FALSE(deeper->addFile("", inner));
    EXPECT_TRUE(deeper->children.empty());
    // Sharing a directory in two places is not a cycle.
    auto other = makeDir("other");
    EXPECT_TRUE(other->addFile("", deeper));
    EXPECT_TRUE(root->addFile("", other));
    EXPECT_EQ(root->children.size(), 2u);
}

TEST(FileTree, GetFile) {
    Directory root;
    auto nameless = makeDir();
    root.addFile("", makeFile("x"));
    root.addFile("", nameless);

    std::shared_ptr<IFile> out = makeFile("held");
    std::weak_ptr<IFile> held = out;
    EXPECT_FALSE(root.getFile("x", nullptr));  // null out, even though 'x' exists
    EXPECT_FALSE(root.getFile("y", &out));
    EXPECT_FALSE(root.getFile("x/", &out));
    EXPECT_FALSE(root.getFile(std::string("x\0", 2), &out));
    EXPECT_EQ(out->nameView(), "held");  // untouched on a miss
    ASSERT_TRUE(root.getFile("", &out));  // the empty name finds the directory
    EXPECT_EQ(out, nameless);
    EXPECT_TRUE(held.expired());  // the old share was released
    ASSERT_TRUE(root.getFile("x", &out));
    EXPECT_EQ(out->nameView(), "x");

    // A file never finds anything and leaves the target alone.
    auto leaf = makeFile("leaf");
    std::shared_ptr<IFile> keep = leaf;
    EXPECT_FALSE(leaf->getFile("leaf", &keep));
    EXPECT_EQ(keep, leaf);
}

TEST(FileTree, DeleteFileSplitsAtTheFirstSlash) {
    Directory root;
    auto x = makeDir("x");
    auto y = makeFile("y");
    auto grandchild = makeFile("g");
    auto sub = makeDir("sub");
    sub->addFile("", grandchild);
    x->addFile("", y);
    x->addFile("", sub);
    root.addFile("", makeFile("a"));
    root.addFile("", x);
    root.addFile("", makeFile("z"));
    std::weak_ptr<IFile> gone = grandchild;
    grandchild.reset();

    EXPECT_FALSE(root.deleteFile(""));
    EXPECT_FALSE(root.deleteFile("/x"));
    EXPECT_FALSE(root.deleteFile("q"));
    EXPECT_FALSE(root.deleteFile("a/b"));  // 'a' is a file
    EXPECT_FALSE(root.deleteFile("x//y"));  // 'x' is asked to delete '/y'
    EXPECT_EQ(x->children.size(), 2u);
    EXPECT_FALSE(makeFile("f")->deleteFile("f"));

    EXPECT_TRUE(root.deleteFile("x/y"));
    EXPECT_EQ(childNames(*x), (std::vector<std::string>{"sub"}));
    // A share handed out earlier keeps a deleted node alive.
    std::shared_ptr<IFile> kept;
    ASSERT_TRUE(root.getFile("a", &kept));
    EXPECT_TRUE(root.deleteFile("a"));
    EXPECT_EQ(kept->nameView(), "a");
    // 'x/' removes the directory with its whole subtree; the rest keeps its order.
    std::weak_ptr<IFile> xWeak = x;
    x.reset();
    sub.reset();
    EXPECT_TRUE(root.deleteFile("x/"));
    EXPECT_TRUE(xWeak.expired());
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"z"}));
}

TEST(FileTree, SerialiseOffsetsByteByByte) {
    Directory root;
    root.addFile("", makeFile("b", bytes("bb"), 0x0B));
    root.addFile("", makeFile("a", bytes("aaa"), 0x0A));
    root.addFile("", makeFile("c", std::vector<uint8_t>{}, 0x0C));  // empty payload
    auto nested = makeDir("d");
    nested->addFile("", makeFile("e", bytes("E"), 0x0E));
    root.addFile("", nested);

    // The first offset is the length already in `data`.
    std::vector<_cfg_file_entry_t> entries;
    std::vector<uint8_t> data{0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    root.serialize(entries, data);
    ASSERT_EQ(entries.size(), 4u);
    const uint32_t numbers[] = {0x0A, 0x0B, 0x0C, 0x0E};
    const uint32_t offsets[] = {5, 8, 10, 10};
    const uint16_t lengths[] = {3, 2, 0, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].file_number, numbers[i]) << i;
        EXPECT_EQ(entries[i].data_offset, offsets[i]) << i;
        EXPECT_EQ(entries[i].data_length, lengths[i]) << i;
        EXPECT_EQ(entries[i].flags, 0) << i;
    }
    EXPECT_EQ(data, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 'a', 'a', 'a', 'b', 'b',
                                          'E'}));
    // Each node's own header keeps its offset, written little-endian at bytes 4-7.
    std::shared_ptr<IFile> b;
    ASSERT_TRUE(root.getFile("b", &b));
    EXPECT_EQ(b->record, (std::vector<uint8_t>{0x0B, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 'b', 'b'}));

    // Serialising again into fresh arrays gives the same entries, relative to 0.
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<_cfg_file_entry_t> again;
        std::vector<uint8_t> fresh;
        root.serialize(again, fresh);
        ASSERT_EQ(again.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(again[i].data_offset, offsets[i] - 5) << i;
        EXPECT_EQ(fresh, bytes("aaabbE"));
        EXPECT_EQ(dorv::le::load32(b->record.data() + 4), 3u);
    }
}

TEST(FileTree, SerialiseCarriesUnreadHeaderBytes) {
    const std::vector<uint8_t> record = makeRecord(0xCAFEF00D, bytes("pq"), 0xC3, 0x7E);
    File file(record.data(), static_cast<uint32_t>(record.size()), "f");
    std::vector<_cfg_file_entry_t> entries;
    std::vector<uint8_t> data;
    file.serialize(entries, data);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].file_number, 0xCAFEF00Du);
    EXPECT_EQ(entries[0].flags, 0xC3);
    EXPECT_EQ(entries[0].reserved, 0x7E);
    EXPECT_EQ(data, bytes("pq"));

    // A header whose length was raised by hand still never reads past the record.
    dorv::le::store16(file.record.data() + 8, 500);
    entries.clear();
    data.clear();
    file.serialize(entries, data);
    EXPECT_EQ(data, bytes("pq"));
}

TEST(FileTree, FullPathJoinsAParentPathWhenOneIsSet) {
    auto file = makeFile("leaf");
    EXPECT_EQ(file->getFullPath(), "leaf");
    file->parentPath = "home/dir";
    EXPECT_EQ(file->getFullPath(), "home/dir/leaf");
}

}  // namespace
