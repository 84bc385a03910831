#include <gtest/gtest.h>

#include "dorv/image_editor.h"
#include "support/file_tree_builders.h"

namespace {

using dorv::test::addLinked;
using dorv::test::makeDir;
using dorv::test::makeFile;
using image_editor::Directory;
using image_editor::FileIterator;
using Names = std::vector<std::string>;

// firstFile, then `calls` calls of nextFile.
Names walk(FileIterator& it, int calls) {
    Names seen{it.firstFile()};
    for (int i = 0; i < calls; ++i) seen.push_back(it.nextFile());
    return seen;
}

std::shared_ptr<Directory> flatRoot(std::initializer_list<const char*> names) {
    auto root = makeDir();
    for (const char* name : names) root->addFile(name, makeFile(name));
    return root;
}

TEST(FileIterator, SmokeFlatRootInNameOrder) {
    FileIterator it(flatRoot({"b", "c", "a"}));
    EXPECT_EQ(walk(it, 4), (Names{"a", "b", "c", "", ""}));
}

TEST(FileIterator, StartsAndRestarts) {
    FileIterator one(flatRoot({"only"}));
    EXPECT_EQ(walk(one, 2), (Names{"only", "", ""}));

    auto empty = makeDir();  // no first file, and no place for nextFile
    FileIterator none(empty);
    EXPECT_EQ(none.current, empty.get());
    EXPECT_EQ(walk(none, 2), (Names{"", "", ""}));

    FileIterator leaf(makeFile("f"));  // a file as root
    EXPECT_EQ(walk(leaf, 1), (Names{"", ""}));
    EXPECT_EQ(leaf.current, nullptr);
    FileIterator null(nullptr);
    EXPECT_EQ(walk(null, 1), (Names{"", ""}));

    // After a delete the restarted walk begins at the first remaining child.
    auto root = flatRoot({"a", "b", "c"});
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "b");
    ASSERT_TRUE(root->deleteFile("a"));
    EXPECT_EQ(walk(it, 2), (Names{"b", "c", ""}));

    // An empty name reads like the end although more follows.
    FileIterator blank(flatRoot({"", "n"}));
    EXPECT_EQ(walk(blank, 1), (Names{"", "n"}));
}

TEST(FileIterator, UnlinkedDirectoryEndsTheWalkInsideIt) {
    // No parent links: the walk enters the nameless directory and never leaves.
    auto root = flatRoot({"z"});
    auto dir = flatRoot({"y", "x"});
    root->addFile("", dir);
    FileIterator it(root);
    EXPECT_EQ(walk(it, 4), (Names{"", "x", "y", "", ""}));
    EXPECT_EQ(it.current, dir.get());
}

TEST(FileIterator, ClimbsThroughParentLinks) {
    auto root = makeDir();
    auto d1 = makeDir("d1"), d2 = makeDir("d2"), hollow = makeDir("d2z"), d3 = makeDir("d3");
    auto inner = makeDir("in");
    addLinked(*d1, {makeFile("b"), makeFile("a")});
    addLinked(*inner, {makeFile("x")});
    addLinked(*d2, {inner});
    addLinked(*d3, {makeFile("w")});
    addLinked(*root, {makeFile("e"), d2, d1, hollow, d3});
    FileIterator it(root);
    // Leaving 'in' climbs twice (it is the last of d2); an empty directory
    // comes like a file; the walk ends after the root's last child.
    EXPECT_EQ(walk(it, 11),
              (Names{"d1", "a", "b", "d2", "in", "x", "d2z", "d3", "w", "e", "", ""}));
    d1->children[0]->parentPath = "d1";  // full paths follow parentPath
    EXPECT_EQ(walk(it, 1), (Names{"d1", "d1/a"}));

    // Two nameless directories: finding the way back by name alone would
    // return into the first one forever.
    auto twins = makeDir(), first = makeDir(), second = makeDir();
    addLinked(*first, {makeFile("a")});
    addLinked(*second, {makeFile("b")});
    addLinked(*twins, {first, second});
    FileIterator pair(twins);
    EXPECT_EQ(walk(pair, 5), (Names{"", "a", "", "b", "", ""}));
}

TEST(FileIterator, NoPlaceToStandAnswersEmpty) {
    auto root = flatRoot({"a", "b", "c"});
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "b");
    root->children.resize(1);  // shrunk without a restart: index 1 is past the end
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(it.index, 1);

    // Members changed by hand.
    EXPECT_EQ(it.firstFile(), "a");
    it.index = -3;
    EXPECT_EQ(it.nextFile(), "");
    it.index = 0;
    auto elsewhere = flatRoot({"q", "r"});
    it.current = elsewhere.get();
    EXPECT_EQ(it.nextFile(), "");
    it.current = nullptr;
    EXPECT_EQ(it.nextFile(), "");
    it.root = elsewhere;  // a new root needs a restart first
    it.current = root.get();
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(walk(it, 1), (Names{"q", "r"}));
}

TEST(FileIterator, DirectoryRemovedUnderTheWalkStaysSafe) {
    auto root = makeDir();
    auto dir = makeDir("d");
    addLinked(*dir, {makeFile("x"), makeFile("y")});
    addLinked(*root, {dir, makeFile("z")});
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "x");
    // The tree lets go of the directory the walk stands in: the walk still
    // holds it, finishes it, and finds no way back.
    root->children.clear();
    dir.reset();
    EXPECT_EQ(it.nextFile(), "y");
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(it.nextFile(), "");
}

TEST(FileIterator, ParentLinkOffTheWalkIsNotFollowed) {
    auto root = makeDir();
    auto dir = makeDir("d");
    addLinked(*dir, {makeFile("x")});
    addLinked(*root, {dir, makeFile("z")});
    dir->parent = std::make_shared<Directory>().get();  // now a dangling link
    FileIterator it(root);
    EXPECT_EQ(walk(it, 3), (Names{"d", "x", "", ""}));

    // A root with a parent of its own: the walk stays inside the root.
    auto outer = makeDir();
    addLinked(*outer, {root, makeFile("after")});
    dir->parent = root.get();
    EXPECT_EQ(walk(it, 4), (Names{"d", "x", "z", "", ""}));
}

}  // namespace
