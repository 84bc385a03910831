#include <gtest/gtest.h>

#include <stdexcept>
#include <type_traits>

#include "common/le_bytes.h"
#include "dorv/image_editor.h"
#include "fcs/file_tree_internal.h"
#include "support/file_tree_builders.h"

namespace {

using dorv::test::makeDir;
using dorv::test::makeFile;
using dorv::test::makeRecord;
using image_editor::Directory;
using image_editor::File;
using image_editor::IFile;
using Names = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

std::string_view nameOfNode(const IFile& node) { return dorv::tree::nameOf(&node); }

Names childNames(const Directory& dir) {
    Names names;
    for (const auto& child : dir.children) names.emplace_back(dorv::tree::nameOf(child));
    return names;
}

Bytes bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(FileTree, SmokeAddedOutOfOrderSerialisesInNameOrder) {
    Directory root;
    ASSERT_TRUE(root.addFile("b", makeFile("b", bytes("BBB"), 7)));
    ASSERT_TRUE(root.addFile("a", makeFile("a", bytes("A"), 9)));
    EXPECT_EQ(childNames(root), (Names{"a", "b"}));
    EXPECT_EQ(root.getSize(), 12u + 1 + 12 + 3);
    std::vector<_cfg_file_entry_t> entries;
    Bytes data;
    root.serialize(entries, data);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].file_number, 9u);
    EXPECT_EQ(entries[0].data_offset, 0u);
    EXPECT_EQ(entries[1].file_number, 7u);
    EXPECT_EQ(entries[1].data_offset, 1u);  // the payload length of 'a'
    EXPECT_EQ(data, bytes("ABBB"));
}

TEST(FileTree, ConstructionCopiesRecordAndRewritesLength) {
    const Bytes record = makeRecord(0x11223344, bytes("xyz"), 0x81, 0x5A, 0xFFFF);
    const Bytes before = record;
    File file(record.data(), static_cast<uint32_t>(record.size()), "name");
    EXPECT_EQ(record, before);  // the caller's bytes are not touched
    Bytes expected = before;
    expected[8] = 3;  // data_length = 15 - 12, little-endian
    expected[9] = 0;
    EXPECT_EQ(file.record, expected);
    EXPECT_EQ(file.header, reinterpret_cast<_cfg_file_entry_t*>(file.record.data()));
    EXPECT_EQ(file.getFullPath(), "name");
    EXPECT_TRUE(file.parentPath.empty());
    EXPECT_EQ(file.parent, nullptr);
    EXPECT_FALSE(file.isDirectory());
    EXPECT_EQ(file.getSize(), 15u);
    file.parentPath = "home/dir";
    EXPECT_EQ(file.getFullPath(), "home/dir/name");

    // Empty payload, the largest record, a length cut to 16 bits.
    for (uint32_t length : {12u, 65535u, 70000u}) {
        const Bytes big = makeRecord(1, Bytes(length - 12, 0x77));
        File sized(big.data(), length, "s");
        EXPECT_EQ(dorv::le::load16(sized.record.data() + 8), (length - 12) & 0xFFFF) << length;
        EXPECT_EQ(sized.getSize(), length);
    }

    // No node holds a record shorter than its header; a missing name is empty.
    EXPECT_THROW(File(record.data(), 11, "x"), std::invalid_argument);
    EXPECT_THROW(File(nullptr, 12, "x"), std::invalid_argument);
    EXPECT_THROW(Directory(record.data(), 0), std::invalid_argument);
    EXPECT_EQ(nameOfNode(File(record.data(), 12, nullptr)), "");
    static_assert(!std::is_copy_constructible_v<File>);  // header would point into the original
    static_assert(!std::is_copy_assignable_v<Directory>);
}

TEST(FileTree, DirectoriesCountTheirRecordAndEmitNothing) {
    Directory empty;
    EXPECT_TRUE(empty.isDirectory());
    EXPECT_EQ(empty.header, nullptr);
    EXPECT_EQ(nameOfNode(empty), "");
    EXPECT_EQ(empty.getSize(), 0u);
    std::vector<_cfg_file_entry_t> entries;
    Bytes data{1, 2};
    empty.serialize(entries, data);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(data.size(), 2u);

    const Bytes record = makeRecord(5, bytes("pay"), 0, 0, 0);
    Directory withRecord(record.data(), static_cast<uint32_t>(record.size()));
    EXPECT_EQ(dorv::le::load16(withRecord.record.data() + 8), 3u);
    EXPECT_EQ(withRecord.getSize(), 15u);
    withRecord.addFile("", makeFile("f", bytes("12345")));
    EXPECT_EQ(withRecord.getSize(), 15u + 17u);
    withRecord.serialize(entries, data);
    ASSERT_EQ(entries.size(), 1u);  // only the child's entry
    EXPECT_EQ(entries[0].data_offset, 2u);
    EXPECT_EQ(data, (Bytes{1, 2, '1', '2', '3', '4', '5'}));
}

TEST(FileTree, NamesAreBoundedTo48Bytes) {
    const std::string exact(48, 'n');
    auto full = makeFile(exact);
    auto cut = makeFile(exact + "tail");
    EXPECT_EQ(dorv::tree::nameOf(full), exact);  // no terminator, still 48 bytes
    EXPECT_EQ(dorv::tree::nameOf(cut), exact);
    EXPECT_FALSE(image_editor::fileCompare(full, cut));
    EXPECT_FALSE(image_editor::fileCompare(cut, full));

    Directory root;
    root.addFile("", cut);
    std::shared_ptr<IFile> out;
    EXPECT_FALSE(root.getFile(exact + "tail", &out));
    EXPECT_FALSE(root.deleteFile(exact + "tail"));
    EXPECT_TRUE(root.getFile(exact, &out));
    EXPECT_EQ(out, cut);
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
    // Directories are nameless, not placed first; a missing node reads as "".
    EXPECT_FALSE(image_editor::fileCompare(makeDir("b"), makeFile("a")));
    EXPECT_TRUE(image_editor::fileCompare(nullptr, makeFile("a")));
    EXPECT_FALSE(image_editor::fileCompare(makeFile("a"), nullptr));
}

TEST(FileTree, AddFileKeepsChildrenSorted) {
    Directory root;
    for (const char* name : {"m", "\x80", "a/", "a.b/", "A", "zz", "a", ""}) {
        ASSERT_TRUE(root.addFile("ignored", makeFile(name)));
    }
    root.addFile("zzz", makeFile("b"));  // the node keeps its own name
    EXPECT_EQ(childNames(root), (Names{"", "A", "a", "a.b/", "a/", "b", "m", "zz", "\x80"}));

    // Equal names are all kept, later ones after earlier ones, and lookups
    // reach the first in `children`.
    Directory dup;
    auto first = makeFile("d", bytes("1"));
    auto second = makeFile("d", bytes("2"));
    for (const auto& node : {makeFile("e"), first, makeFile("c"), second}) dup.addFile("", node);
    EXPECT_EQ(childNames(dup), (Names{"c", "d", "d", "e"}));
    EXPECT_EQ(dup.children[1], first);
    std::shared_ptr<IFile> out;
    ASSERT_TRUE(dup.getFile("d", &out));
    EXPECT_EQ(out, first);
    ASSERT_TRUE(dup.deleteFile("d"));
    EXPECT_EQ(dup.children[1], second);

    EXPECT_FALSE(makeFile("leaf")->addFile("x", makeFile("x")));
}

TEST(FileTree, AddFileRefusesMissingNodesAndCycles) {
    auto root = makeDir();
    auto inner = makeDir("inner");
    auto deeper = makeDir("deeper");
    EXPECT_FALSE(root->addFile("", nullptr));
    EXPECT_FALSE(root->addFile("", root));
    ASSERT_TRUE(root->addFile("", inner));
    ASSERT_TRUE(inner->addFile("", deeper));
    EXPECT_FALSE(deeper->addFile("", root));
    EXPECT_FALSE(deeper->addFile("", inner));
    EXPECT_TRUE(deeper->children.empty());
    auto other = makeDir("other");  // one directory in two places is no cycle
    EXPECT_TRUE(other->addFile("", deeper));
    EXPECT_TRUE(root->addFile("", other));
}

TEST(FileTree, GetFile) {
    Directory root;
    auto nameless = makeDir();
    root.addFile("", makeFile("x"));
    root.addFile("", nameless);

    std::shared_ptr<IFile> out = makeFile("held");
    std::weak_ptr<IFile> held = out;
    EXPECT_FALSE(root.getFile("x", nullptr));  // even though 'x' exists
    for (const std::string& miss : Names{"y", "x/", std::string("x\0", 2)}) {
        EXPECT_FALSE(root.getFile(miss, &out));
    }
    EXPECT_EQ(dorv::tree::nameOf(out), "held");  // untouched on a miss
    ASSERT_TRUE(root.getFile("", &out));  // the empty name finds the directory
    EXPECT_EQ(out, nameless);
    EXPECT_TRUE(held.expired());  // the old share was released

    auto leaf = makeFile("leaf");
    std::shared_ptr<IFile> keep = leaf;
    EXPECT_FALSE(leaf->getFile("leaf", &keep));
    EXPECT_EQ(keep, leaf);
}

TEST(FileTree, DeleteFileSplitsAtTheFirstSlash) {
    Directory root;
    auto x = makeDir("x");
    auto sub = makeDir("sub");
    auto grandchild = makeFile("g");
    sub->addFile("", grandchild);
    x->addFile("", makeFile("y"));
    x->addFile("", sub);
    for (std::shared_ptr<IFile> node : {makeFile("a"), makeFile("z")}) root.addFile("", node);
    root.addFile("", x);
    std::weak_ptr<IFile> xWeak = x, gone = grandchild;
    x.reset();
    sub.reset();
    grandchild.reset();

    for (const char* refused : {"", "/x", "q", "a/b", "x//y"}) {
        EXPECT_FALSE(root.deleteFile(refused)) << refused;
    }
    EXPECT_EQ(xWeak.lock()->getSize(), 13u + 13u);  // 'x//y' left 'y' alone
    EXPECT_FALSE(makeFile("f")->deleteFile("f"));

    EXPECT_TRUE(root.deleteFile("x/y"));
    EXPECT_EQ(childNames(static_cast<Directory&>(*xWeak.lock())), (Names{"sub"}));
    std::shared_ptr<IFile> kept;  // a share handed out keeps a deleted node
    ASSERT_TRUE(root.getFile("a", &kept));
    EXPECT_TRUE(root.deleteFile("a"));
    EXPECT_EQ(dorv::tree::nameOf(kept), "a");
    EXPECT_TRUE(root.deleteFile("x/"));  // the directory with its whole subtree
    EXPECT_TRUE(xWeak.expired());
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(childNames(root), (Names{"z"}));
}

TEST(FileTree, SerialiseOffsetsByteByByte) {
    Directory root;
    root.addFile("", makeFile("b", bytes("bb"), 0x0B));
    root.addFile("", makeFile("a", bytes("aaa"), 0x0A));
    root.addFile("", makeFile("c", Bytes{}, 0x0C));  // empty payload: entry, no bytes
    auto nested = makeDir("d");
    const Bytes carried = makeRecord(0x0E, bytes("E"), 0xC3, 0x7E);
    nested->addFile("", std::make_shared<File>(carried.data(), 13, "e"));
    root.addFile("", nested);

    // Depth first in name order; the first offset is the length already in `data`.
    std::vector<_cfg_file_entry_t> entries;
    Bytes data(5, 0xEE);
    root.serialize(entries, data);
    ASSERT_EQ(entries.size(), 4u);
    const uint32_t numbers[] = {0x0A, 0x0B, 0x0C, 0x0E};
    const uint32_t offsets[] = {5, 8, 10, 10};
    const uint16_t lengths[] = {3, 2, 0, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].file_number, numbers[i]) << i;
        EXPECT_EQ(entries[i].data_offset, offsets[i]) << i;
        EXPECT_EQ(entries[i].data_length, lengths[i]) << i;
    }
    EXPECT_EQ(entries[3].flags, 0xC3);
    EXPECT_EQ(entries[3].reserved, 0x7E);
    EXPECT_EQ(data, (Bytes{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 'a', 'a', 'a', 'b', 'b', 'E'}));
    // The node's own header keeps the offset, little-endian at bytes 4-7.
    std::shared_ptr<IFile> b;
    ASSERT_TRUE(root.getFile("b", &b));
    EXPECT_EQ(b->record, (Bytes{0x0B, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 'b', 'b'}));

    // Twice into fresh arrays: the same entries, relative to 0.
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<_cfg_file_entry_t> again;
        Bytes fresh;
        root.serialize(again, fresh);
        ASSERT_EQ(again.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(again[i].data_offset, offsets[i] - 5) << i;
        EXPECT_EQ(fresh, bytes("aaabbE"));
        EXPECT_EQ(dorv::le::load32(b->record.data() + 4), 3u);
    }

    // A header length raised by hand never makes serialize read past the record.
    dorv::le::store16(b->record.data() + 8, 500);
    Bytes out;
    entries.clear();
    b->serialize(entries, out);
    EXPECT_EQ(out, bytes("bb"));
}

}  // namespace
