#include "dorv/image_editor.h"
#include "fcs/file_tree_internal.h"

namespace image_editor {

namespace {

std::string pathOf(const std::shared_ptr<IFile>& node) {
    return node ? node->getFullPath() : std::string();
}

// Position of `node` among `siblings`, or -1. The position the walk entered
// from is tried first; otherwise the run of children sharing its name is
// searched for the node itself, so that two children of one name (nameless
// directories, say) are never mistaken for each other.
int64_t positionOf(const std::deque<std::shared_ptr<IFile>>& siblings, const IFile* node,
                   int32_t hint) {
    const auto count = static_cast<int64_t>(siblings.size());
    if (hint >= 0 && hint < count && siblings[static_cast<std::size_t>(hint)].get() == node) {
        return hint;
    }
    const std::string_view name = dorv::tree::nameOf(node);
    auto at = dorv::tree::firstNotBefore(siblings, name);
    for (; at != siblings.end() && dorv::tree::nameOf(*at) == name; ++at) {
        if (at->get() == node) return at - siblings.begin();
    }
    return -1;
}

}  // namespace

FileIterator::FileIterator(std::shared_ptr<IFile> root) : root(std::move(root)) { firstFile(); }

FileIterator::~FileIterator() = default;

std::string FileIterator::firstFile() {
    Directory* top = dorv::tree::asDirectory(root.get());
    if (top == nullptr) return std::string();
    current = top;
    trail_.assign(1, Step{root, top, 0});
    if (top->children.empty()) return std::string();
    index = 0;
    return std::string(dorv::tree::nameOf(top->children.front()));
}

std::string FileIterator::nextFile() {
    // A place to stand: a walk was started on this root and `current` is the
    // directory it stands in (kept alive by the trail), with `index` inside its
    // children. Anything else (never started, the members changed by hand, the
    // children shrunk without a restart) ends the walk without a read.
    if (current == nullptr || trail_.empty() || trail_.back().dir != current ||
        trail_.front().share != root) {
        return std::string();
    }
    auto& children = current->children;
    const auto count = static_cast<int64_t>(children.size());
    if (index < 0 || index >= count) return std::string();
    const std::shared_ptr<IFile>& at = children[static_cast<std::size_t>(index)];
    if (!at) return std::string();

    Directory* dir = dorv::tree::asDirectory(at.get());
    if (dir != nullptr && !dir->children.empty()) {
        trail_.push_back(Step{at, dir, index});
        current = dir;
        index = 0;
        return pathOf(dir->children.front());
    }
    if (index < count - 1) {
        ++index;
        return pathOf(children[static_cast<std::size_t>(index)]);
    }

    // Done with the children of `current`: climb through the parent links.
    for (;;) {
        Directory* up = current->parent;
        if (up == nullptr) return std::string();
        // Only the directory the walk came down from is known to be alive;
        // a link to anywhere else (or above the root) ends the walk.
        if (trail_.size() < 2 || trail_[trail_.size() - 2].dir != up) return std::string();
        index = -1;
        const auto& siblings = up->children;
        if (siblings.empty()) return std::string();
        const int64_t pos = positionOf(siblings, current, trail_.back().enteredAt);
        if (pos < 0) return std::string();
        trail_.pop_back();
        current = up;
        if (pos < static_cast<int64_t>(siblings.size()) - 1) {
            index = static_cast<int32_t>(pos + 1);
            return pathOf(siblings[static_cast<std::size_t>(index)]);
        }
    }
}

}  // namespace image_editor
