#include "Imap/engine/FolderListImpl.h"

#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

namespace tavir::migration {

using tavir::mailserver::common::KUuid;
using Path = std::vector<std::wstring>;

namespace {

Path split(const std::wstring& name, char separator)
{
    Path path;
    if (separator == '\0') {
        path.push_back(name);
        return path;
    }
    const wchar_t delimiter = static_cast<unsigned char>(separator);
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = name.find(delimiter, begin);
        path.push_back(name.substr(begin, end - begin));
        if (end == std::wstring::npos)
            return path;
        begin = end + 1;
    }
}

std::wstring join(const Path& path, std::size_t count, wchar_t separator)
{
    std::wstring name;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            name.push_back(separator);
        name += path[i];
    }
    return name;
}

// The inbox is one folder whatever case the source spells it in, so that
// "inbox/x" finds "INBOX" as its parent.
Path sourcePathOf(const std::wstring& sourceName, char separator)
{
    Path path = split(sourceName, separator);
    if (isInboxName(path[0]))
        path[0] = L"INBOX";
    return path;
}

// One record per listed name; a name listed twice is one folder, selectable
// when any of its listings says so.
std::vector<MigrationFolder> listedFolders(
    const std::vector<tavir::mail::FolderInfo>& listed, char separator)
{
    std::vector<MigrationFolder> folders;
    std::map<std::string, std::size_t> seen;
    for (const tavir::mail::FolderInfo& info : listed) {
        if (info.name.empty())
            continue;
        auto [at, added] = seen.emplace(info.name, folders.size());
        if (!added) {
            MigrationFolder& first = folders[at->second];
            first.selectable = first.selectable || info.selectable;
            if (first.id.isNull())
                first.id = info.guid;
            continue;
        }
        MigrationFolder folder;
        folder.id = info.guid;
        folder.listedName = info.name;
        folder.sourceName = utf7MToUnicode(info.name);
        folder.sourcePath = sourcePathOf(folder.sourceName, separator);
        folder.selectable = info.selectable;
        folder.listed = true;
        folder.validName = unicodeToUtf7M(folder.sourceName) == info.name;
        folders.push_back(std::move(folder));
    }
    return folders;
}

// Adds every parent that the source did not list, spelled as the first
// child that needs it spells it.
void completeParents(std::vector<MigrationFolder>& folders, char separator)
{
    std::set<Path> known;
    for (const MigrationFolder& folder : folders)
        known.insert(folder.sourcePath);
    const std::size_t listedCount = folders.size();
    for (std::size_t i = 0; i < listedCount; ++i) {
        const Path spelled = split(folders[i].sourceName, separator);
        for (std::size_t depth = 1; depth < spelled.size(); ++depth) {
            Path parentPath(folders[i].sourcePath.begin(), folders[i].sourcePath.begin() + depth);
            if (!known.insert(parentPath).second)
                continue;
            MigrationFolder parent;
            parent.sourceName = join(spelled, depth, static_cast<unsigned char>(separator));
            parent.listedName = unicodeToUtf7M(parent.sourceName);
            parent.sourcePath = std::move(parentPath);
            folders.push_back(std::move(parent));
        }
    }
}

void markSharedViews(std::vector<MigrationFolder>& folders)
{
    for (MigrationFolder& folder : folders)
        folder.skipped = isSharedViewName(folder.sourcePath[0]);
}

// Gives siblings their target components: valid names, and distinct ones
// where two became equal (docs/folder-names.md, "Keep names apart").
void nameSiblings(
    std::vector<MigrationFolder*>& siblings, const Path& parentTarget, FolderStore store)
{
    const bool top = parentTarget.empty();
    std::vector<std::wstring> valid;
    for (MigrationFolder* folder : siblings) {
        const std::wstring& own = folder->sourcePath.back();
        valid.push_back(top ? validTopComponent(own, store) : validComponent(own));
    }
    std::vector<std::size_t> order(siblings.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // Who keeps a name that several siblings arrive at: a folder that is
    // created before a skipped one, one listed by a valid name before a
    // malformed one, one whose name was already valid before one that was
    // changed, then the smaller source name.
    auto key = [&](std::size_t i) {
        const MigrationFolder& folder = *siblings[i];
        const std::wstring& own = folder.sourcePath.back();
        return std::make_tuple(std::cref(valid[i]), folder.skipped, !folder.validName,
            own != valid[i], std::cref(own), std::cref(folder.listedName));
    };
    std::sort(
        order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });

    std::set<std::wstring> taken(valid.begin(), valid.end());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k];
        std::wstring component = valid[i];
        if (k > 0 && valid[order[k - 1]] == valid[i]) {
            unsigned n = 2;
            do
                component = withSuffix(valid[i], L"_" + std::to_wstring(n++));
            while (taken.count(component) > 0);
            taken.insert(component);
        }
        MigrationFolder& folder = *siblings[i];
        folder.targetPath = parentTarget;
        folder.targetPath.push_back(component);
        folder.targetName = join(folder.targetPath, folder.targetPath.size(), TargetSeparator);
    }
}

// Names the tree from the top down, so that every folder's name starts with
// its parent's final name.
void nameTree(std::vector<MigrationFolder>& folders, FolderStore store)
{
    std::map<Path, std::vector<MigrationFolder*>> children;
    for (MigrationFolder& folder : folders) {
        Path parent(folder.sourcePath.begin(), folder.sourcePath.end() - 1);
        children[parent].push_back(&folder);
    }
    std::vector<std::pair<Path, Path>> pending{{Path(), Path()}}; // source, target
    std::set<Path> named;
    while (!pending.empty()) {
        auto [sourceParent, targetParent] = std::move(pending.back());
        pending.pop_back();
        auto found = children.find(sourceParent);
        // A path listed twice (two malformed names that decode alike) is
        // one parent: its children are named once, below the first.
        if (found == children.end() || !named.insert(sourceParent).second)
            continue;
        nameSiblings(found->second, targetParent, store);
        for (MigrationFolder* child : found->second)
            pending.emplace_back(child->sourcePath, child->targetPath);
    }
}

// The source's identifier where it is the first folder (by source name) to
// list it; a new one otherwise.
void assignIds(std::vector<MigrationFolder>& folders)
{
    std::vector<MigrationFolder*> order;
    for (MigrationFolder& folder : folders)
        order.push_back(&folder);
    std::sort(order.begin(), order.end(), [](const MigrationFolder* a, const MigrationFolder* b) {
        return std::tie(a->sourcePath, a->listedName) < std::tie(b->sourcePath, b->listedName);
    });
    std::set<KUuid> used;
    for (MigrationFolder* folder : order) {
        if (!folder->listed || folder->id.isNull() || used.count(folder->id) > 0) {
            do
                folder->id = KUuid::generate();
            while (used.count(folder->id) > 0);
        }
        used.insert(folder->id);
    }
}

} // namespace

FolderListImpl::FolderListImpl(FolderStore store)
    : store_(store)
{
}

void FolderListImpl::build(const std::vector<tavir::mail::FolderInfo>& listed, char separator)
{
    std::vector<MigrationFolder> folders = listedFolders(listed, separator);
    completeParents(folders, separator);
    markSharedViews(folders);
    nameTree(folders, store_);
    assignIds(folders);

    folders_.clear();
    for (MigrationFolder& folder : folders)
        if (!folders_.insert(std::move(folder)).second)
            throw std::logic_error("folder list: two folders share a target name or identifier");
}

template <class Keep> std::vector<MigrationFolder> FolderListImpl::inTreeOrder(Keep keep) const
{
    std::vector<MigrationFolder> out;
    for (const MigrationFolder& folder : folders_.get<InTreeOrder>())
        if (keep(folder))
            out.push_back(folder);
    return out;
}

std::vector<MigrationFolder> FolderListImpl::foldersToCreate() const
{
    return inTreeOrder([](const MigrationFolder& folder) { return !folder.skipped; });
}

std::vector<MigrationFolder> FolderListImpl::foldersToCopy() const
{
    return inTreeOrder([](const MigrationFolder& folder) {
        return folder.selectable && !folder.skipped && folder.validName;
    });
}

std::vector<MigrationFolder> FolderListImpl::unreadableFolders() const
{
    return inTreeOrder([](const MigrationFolder& folder) {
        return folder.selectable && !folder.skipped && !folder.validName;
    });
}

std::vector<MigrationFolder> FolderListImpl::skippedFolders() const
{
    return inTreeOrder([](const MigrationFolder& folder) { return folder.skipped; });
}

const MigrationFolder* FolderListImpl::findById(const KUuid& id) const
{
    const auto& index = folders_.get<ById>();
    auto found = index.find(id);
    return found == index.end() ? nullptr : &*found;
}

const MigrationFolder* FolderListImpl::findByListedName(const std::string& listedName) const
{
    const auto& index = folders_.get<ByListedName>();
    auto found = index.find(listedName);
    return found == index.end() ? nullptr : &*found;
}

const MigrationFolder* FolderListImpl::findByTargetName(const std::wstring& targetName) const
{
    const auto& index = folders_.get<ByTargetName>();
    auto found = index.find(targetName);
    return found == index.end() ? nullptr : &*found;
}

std::shared_ptr<IFolderList> createFolderList(FolderStore store)
{
    return std::make_shared<FolderListImpl>(store);
}

} // namespace tavir::migration
