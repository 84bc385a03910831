#include <gtest/gtest.h>

#include "dorv/image_editor.h"
#include "support/file_tree_builders.h"

namespace {

using image_editor::Directory;
using image_editor::FileIterator;
using image_editor::IFile;
using dorv::test::addLinked;
using dorv::test::makeDir;
using dorv::test::makeFile;

// firstFile, then `calls` calls of nextFile.
std::vector<std::string> walk(FileIterator& it, int calls) {
    std::vector<std::string> seen{it.firstFile()};
    for (int i = 0; i < calls; ++i) seen.push_back(it.nextFile());
    return seen;
}

using Names = std::vector<std::string>;

TEST(FileIterator, SmokeFlatRootInNameOrder) {
    auto root = makeDir();
    for (const char* name : {"b", "c", "a"}) root->addFile(name, makeFile(name));
    FileIterator it(root);
    EXPECT_EQ(walk(it, 4), (Names{"a", "b", "c", "", ""}));
}

TEST(FileIterator, StartsAndEndsOnSmallTrees) {
    auto single = makeDir();
    single->addFile("", makeFile("only"));
    FileIterator one(single);
    EXPECT_EQ(walk(one, 2), (Names{"only", "", ""}));

    // An empty root: no first file, and no place for nextFile to stand.
    auto empty = makeDir();
    FileIterator none(empty);
    EXPECT_EQ(none.current, empty.get());
    EXPECT_EQ(walk(none, 2), (Names{"", "", ""}));

    // A file as root: nothing to walk, current stays null.
    FileIterator leaf(makeFile("f"));
    EXPECT_EQ(leaf.firstFile(), "");
    EXPECT_EQ(leaf.current, nullptr);
    EXPECT_EQ(leaf.nextFile(), "");

    FileIterator null(nullptr);
    EXPECT_EQ(null.firstFile(), "");
    EXPECT_EQ(null.nextFile(), "");
}

TEST(FileIterator, RestartAfterDeleteBeginsAtFirstRemainingChild) {
    auto root = makeDir();
    for (const char* name : {"a", "b", "c"}) root->addFile(name, makeFile(name));
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "b");
    ASSERT_TRUE(root->deleteFile("a"));
    EXPECT_EQ(walk(it, 2), (Names{"b", "c", ""}));
}

TEST(FileIterator, EmptyNamesReadAsTheEnd) {
    auto root = makeDir();
    root->addFile("", makeFile(""));
    root->addFile("", makeFile("n"));
    FileIterator it(root);
    EXPECT_EQ(it.firstFile(), "");  // looks like the end although 'n' follows
    EXPECT_EQ(it.nextFile(), "n");
}

TEST(FileIterator, UnlinkedDirectoryEndsTheWalkInsideIt) {
    // No parent links: the walk enters the nameless directory and never leaves.
    auto root = makeDir();
    auto dir = makeDir();
    dir->addFile("", makeFile("y"));
    dir->addFile("", makeFile("x"));
    root->addFile("", makeFile("z"));
    root->addFile("", dir);
    FileIterator it(root);
    EXPECT_EQ(walk(it, 4), (Names{"", "x", "y", "", ""}));
    EXPECT_EQ(it.current, dir.get());
}

TEST(FileIterator, ClimbsThroughParentLinks) {
    auto root = makeDir();
    auto d1 = makeDir("d1");
    auto d2 = makeDir("d2");
    auto d3 = makeDir("d3");
    auto inner = makeDir("in");
    auto hollow = makeDir("d2z");
    addLinked(*d1, {makeFile("b"), makeFile("a")});
    addLinked(*inner, {makeFile("x")});
    addLinked(*d2, {inner});  // its last child: the climb goes on past d2
    addLinked(*root, {makeFile("e"), d2, d1, hollow, d3});
    addLinked(*d3, {makeFile("w")});
    FileIterator it(root);
    // Leaving 'in' climbs twice (it is the last of d2); an empty directory
    // comes like a file; the walk ends after the root's last child.
    EXPECT_EQ(walk(it, 11),
              (Names{"d1", "a", "b", "d2", "in", "x", "d2z", "d3", "w", "e", "", ""}));
    // Full paths follow parentPath where one is set.
    d1->children[0]->parentPath = "d1";
    EXPECT_EQ(walk(it, 1), (Names{"d1", "d1/a"}));
}

TEST(FileIterator, ClimbTellsEqualNamesApart) {
    // Two nameless directories: finding the way back by name alone would
    // return to the first one forever.
    auto root = makeDir();
    auto first = makeDir();
    auto second = makeDir();
    addLinked(*first, {makeFile("a")});
    addLinked(*second, {makeFile("b")});
    addLinked(*root, {first, second});
    FileIterator it(root);
    EXPECT_EQ(walk(it, 5), (Names{"", "a", "", "b", "", ""}));
}

TEST(FileIterator, NoPlaceToStandAnswersEmpty) {
    auto root = makeDir();
    for (const char* name : {"a", "b", "c"}) root->addFile(name, makeFile(name));
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "b");

    // The children shrank without a restart: index 1 is past the end.
    root->children.pop_back();
    root->children.pop_back();
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(it.index, 1);

    // Members changed by hand.
    EXPECT_EQ(it.firstFile(), "a");
    it.index = -3;
    EXPECT_EQ(it.nextFile(), "");
    it.index = 0;
    auto elsewhere = makeDir();
    elsewhere->addFile("", makeFile("q"));
    it.current = elsewhere.get();
    EXPECT_EQ(it.nextFile(), "");
    it.current = nullptr;
    EXPECT_EQ(it.nextFile(), "");
    it.root = elsewhere;  // a new root needs a restart first
    it.current = root.get();
    EXPECT_EQ(it.nextFile(), "");
    EXPECT_EQ(it.firstFile(), "q");
}

TEST(FileIterator, DirectoryRemovedUnderTheWalkStaysSafe) {
    auto root = makeDir();
    auto dir = makeDir("d");
    addLinked(*dir, {makeFile("x"), makeFile("y")});
    addLinked(*root, {dir, makeFile("z")});
    FileIterator it(root);
    EXPECT_EQ(it.nextFile(), "x");
    ASSERT_EQ(it.current, dir.get());

    // The tree lets go of the directory the walk stands in; the walk still
    // holds it, finishes it, and cannot find its way back.
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
    {
        // A link to a directory that no longer exists.
        auto stale = std::make_shared<Directory>();
        dir->parent = stale.get();
    }
    FileIterator it(root);
    EXPECT_EQ(walk(it, 3), (Names{"d", "x", "", ""}));

    // A root whose own parent link is set: the walk stays inside the root.
    auto outer = makeDir();
    addLinked(*outer, {root, makeFile("after")});
    dir->parent = root.get();
    EXPECT_EQ(walk(it, 4), (Names{"d", "x", "z", "", ""}));
}

}  // namespace
