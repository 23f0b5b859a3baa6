// The folder list of one account: the listing made into a tree of source
// paths, its missing parents completed, its target names and identifiers
// given, and the folders handed out in tree order.
#include "Imap/engine/FolderListImpl.h"

#include "Imap/textconv/TextConversion.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace tavir::migration {

using tavir::mailserver::common::KUuid;

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

std::vector<std::wstring> split(const std::wstring& name, char separator)
{
    std::vector<std::wstring> components;
    if (separator == '\0') {
        components.push_back(name);
        return components;
    }
    const wchar_t delimiter = static_cast<unsigned char>(separator);
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = name.find(delimiter, begin);
        components.push_back(name.substr(begin, end - begin));
        if (end == std::wstring::npos)
            return components;
        begin = end + 1;
    }
}

// The identifier of a folder the source names none for (or one another
// folder has): made from the name the source lists it by, so that every run
// gives the folder the same one and finds on the target the folder it made
// there before. `attempt` counts the names tried after a clash.
KUuid derivedId(const std::string& listedName, unsigned attempt)
{
    std::string text = "folder " + listedName;
    if (attempt > 1)
        text += " " + std::to_string(attempt);
    return KUuid::createGuidHash(text);
}

// A (parent, component) pair as a hash key.
struct ChildKey {
    std::size_t parent;
    std::wstring component;
    bool operator==(const ChildKey& other) const
    {
        return parent == other.parent && component == other.component;
    }
};

struct ChildKeyHash {
    std::size_t operator()(const ChildKey& key) const
    {
        return std::hash<std::wstring>()(key.component) * 31 + key.parent;
    }
};

// The folders of one account while the list is built. Every path of source
// components (INBOX in any case spelled "INBOX") is one node of a tree; a
// node holds the folders listed under that path (two malformed names may
// decode alike), or the one completed parent when none was listed.
class TreeBuilder {
public:
    TreeBuilder(char separator, FolderStore store)
        : separator_(separator)
        , store_(store)
    {
    }

    void addListed(const std::vector<tavir::mail::FolderInfo>& listed);
    void completeParents();
    void markSharedViews();
    void assignIds();
    // Gives every folder whose identifier a folder of the target has the
    // name of that folder, where it is a name the rules could give and
    // nothing says the target folder is another folder's.
    void keepTargetFolders(const std::vector<tavir::mail::FolderInfo>& onTarget);
    void nameTree();
    // Every folder, siblings by target name and each before the ones below
    // it.
    std::vector<MigrationFolder> inTargetTreeOrder();

private:
    struct Node {
        std::wstring component; // as compared: INBOX in any case is "INBOX"
        std::size_t parent = none;
        std::vector<std::size_t> children;
        std::vector<std::size_t> folders;
        // The source name of the first listed folder at or below this path,
        // as far as this path: what a completed parent is called.
        FolderName spelled;
        // The folder the folders below it are named under.
        std::size_t primary = none;
    };

    struct Draft {
        MigrationFolder folder;
        std::size_t node = none;
        std::wstring targetComponent;
        bool kept = false; // its target folder, found by its identifier
    };

    std::size_t childOf(std::size_t parent, const std::wstring& component,
        const FolderName& spelled);
    // The source name `component` below the one numbered `parent`, as a
    // number: the same parent and component give the same name, so that the
    // listed names "a", "a/b" and "a/b/c" hold "a" and "b" once.
    std::size_t spell(std::size_t parent, const std::wstring& component);
    const std::vector<std::size_t>& childrenOf(std::size_t node) const
    {
        return node == none ? topLevel_ : nodes_[node].children;
    }
    void nameSiblings(std::size_t parentNode, const FolderName& parentTarget, bool parentRenamed);
    // True when the rules could have given `name` to a folder that is not
    // the account's inbox.
    bool givable(const std::wstring& name) const;
    // `component` made valid for the first level (`top`) or one below it.
    std::wstring validFor(bool top, const std::wstring& component) const
    {
        return top ? validTopComponent(component, store_) : validComponent(component);
    }
    // Whether the target folder `name`, which has the identifier of the
    // folder at `node`, is that folder's (docs/folder-names.md, "The same
    // target folder in every run").
    bool isOwnTargetFolder(std::size_t node, const FolderName& name);
    // True when the rules could give the target name `components` to the
    // folder at `node`.
    bool couldBeGiven(std::size_t node, const std::vector<std::wstring>& components) const;
    // True when they could give it to a folder at another node whose own
    // identifier a folder of the target has: the identifiers of the two
    // crossed.
    bool crossed(std::size_t node, const std::vector<std::wstring>& components) const;
    // The source path of `node` with each component made valid, joined with
    // "/": the name the rules give the folder when no sibling needs a
    // number.
    FolderName validPath(std::size_t node) const;
    void indexValidComponents();
    template <class Visit> void inSourceOrder(Visit visit);

    char separator_;
    FolderStore store_;
    std::vector<Node> nodes_;
    std::vector<std::size_t> topLevel_;
    std::vector<Draft> drafts_;
    using Index = std::unordered_map<ChildKey, std::size_t, ChildKeyHash>;
    // The entry of (parent, component) in `index`, or npos; a miss costs
    // no allocation.
    std::size_t find(const Index& index, std::size_t parent, const std::wstring& component);

    Index childIndex_;
    std::vector<FolderName> spellings_;
    Index spellingIndex_;
    ChildKey probe_;
    // The target names kept by folders of the list, and the folder (draft)
    // keeping each; every name the target has.
    std::unordered_map<FolderName, std::size_t, FolderName::Hash> kept_;
    std::unordered_set<FolderName, FolderName::Hash> onTarget_;
    // The target's folders that have an identifier, by it.
    std::map<KUuid, FolderName> onTargetById_;
    // By node: its source path joined with "/", what a folder is renamed
    // from.
    std::vector<FolderName> plain_;
    // By node: its component made valid for its level; and the nodes below
    // each parent by numberedFormKey of that. Made once a target folder is
    // found by an identifier of the list.
    std::vector<std::wstring> valid_;
    std::unordered_map<ChildKey, std::vector<std::size_t>, ChildKeyHash> byValidKey_;
};

std::size_t TreeBuilder::find(const Index& index, std::size_t parent, const std::wstring& component)
{
    probe_.parent = parent;
    probe_.component.assign(component);
    auto found = index.find(probe_);
    return found == index.end() ? none : found->second;
}

std::size_t TreeBuilder::childOf(
    std::size_t parent, const std::wstring& component, const FolderName& spelled)
{
    const std::size_t known = find(childIndex_, parent, component);
    if (known != none)
        return known;
    const std::size_t added = nodes_.size();
    childIndex_.emplace(ChildKey{parent, component}, added);
    Node node;
    node.component = component;
    node.parent = parent;
    node.spelled = spelled;
    nodes_.push_back(std::move(node));
    (parent == none ? topLevel_ : nodes_[parent].children).push_back(added);
    return added;
}

std::size_t TreeBuilder::spell(std::size_t parent, const std::wstring& component)
{
    const std::size_t known = find(spellingIndex_, parent, component);
    if (known != none)
        return known;
    spellingIndex_.emplace(ChildKey{parent, component}, spellings_.size());
    spellings_.push_back(FolderName(parent == none ? FolderName() : spellings_[parent],
        static_cast<unsigned char>(separator_), component));
    return spellings_.size() - 1;
}

void TreeBuilder::addListed(const std::vector<tavir::mail::FolderInfo>& listed)
{
    // One record per listed name; a name listed twice is one folder,
    // selectable when any of its listings says so. So is the inbox in any
    // letter case (RFC 3501 5.1: SELECT "inbox" opens INBOX), selected by
    // the name INBOX where the source lists it so.
    std::unordered_map<std::string_view, std::size_t> seen;
    for (const tavir::mail::FolderInfo& info : listed) {
        if (info.name.empty())
            continue;
        const bool inbox = isInboxName(info.name);
        auto [at, added]
            = seen.emplace(inbox ? std::string_view("INBOX") : info.name, drafts_.size());
        if (!added) {
            MigrationFolder& first = drafts_[at->second].folder;
            first.selectable = first.selectable || info.selectable;
            if (first.id.isNull())
                first.id = info.guid;
            if (inbox && info.name == "INBOX") {
                first.listedName = info.name;
                first.sourceName = L"INBOX";
            }
            continue;
        }
        const std::wstring decoded = utf7MToUnicode(info.name);
        const std::vector<std::wstring> components = split(decoded, separator_);
        std::size_t node = none;
        std::size_t spelled = none;
        for (std::size_t depth = 0; depth < components.size(); ++depth) {
            spelled = spell(spelled, components[depth]);
            const bool inboxHere = depth == 0 && isInboxName(components[depth]);
            node = childOf(
                node, inboxHere ? std::wstring(L"INBOX") : components[depth], spellings_[spelled]);
        }
        Draft draft;
        draft.node = node;
        draft.folder.id = info.guid;
        draft.folder.listedName = info.name;
        draft.folder.sourceName = spellings_[spelled];
        draft.folder.selectable = info.selectable;
        draft.folder.listed = true;
        draft.folder.validName = unicodeToUtf7M(decoded) == info.name;
        nodes_[node].folders.push_back(drafts_.size());
        drafts_.push_back(std::move(draft));
    }
}

// Adds every parent that the source did not list, spelled as the first
// child that needs it spells it.
void TreeBuilder::completeParents()
{
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        if (!nodes_[n].folders.empty())
            continue;
        Draft parent;
        parent.node = n;
        parent.folder.sourceName = nodes_[n].spelled;
        parent.folder.listedName = unicodeToUtf7M(nodes_[n].spelled.text());
        nodes_[n].folders.push_back(drafts_.size());
        drafts_.push_back(std::move(parent));
    }
}

void TreeBuilder::markSharedViews()
{
    std::vector<bool> shared(nodes_.size(), false);
    // A node comes after its parent: its parent made it.
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const Node& node = nodes_[n];
        shared[n] = node.parent == none ? isSharedViewName(node.component) : shared[node.parent];
        for (std::size_t d : node.folders)
            drafts_[d].folder.skipped = shared[n];
    }
}

// Gives siblings their target components: valid names, and distinct ones
// where two became equal (docs/folder-names.md, "Keep names apart"). A
// sibling that keeps its target folder keeps its name, and no other gets
// that name. The folders below a path are named under the folder of that
// path which kept its name. A folder is renamed when its target name is not
// its source path joined with "/".
void TreeBuilder::nameSiblings(
    std::size_t parentNode, const FolderName& parentTarget, bool parentRenamed)
{
    std::vector<Draft*> siblings;
    for (std::size_t child : childrenOf(parentNode))
        for (std::size_t d : nodes_[child].folders) {
            Draft& draft = drafts_[d];
            if (!draft.kept) {
                siblings.push_back(&draft);
                continue;
            }
            const std::wstring name = draft.folder.targetName.text();
            draft.targetComponent = name.substr(name.rfind(TargetSeparator) + 1);
            draft.folder.renamedByRules = draft.folder.targetName != plain_[child];
            nodes_[child].primary = d;
        }
    const bool top = parentNode == none;
    std::vector<std::wstring> valid;
    for (const Draft* draft : siblings) {
        const std::wstring& own = nodes_[draft->node].component;
        valid.push_back(validFor(top, own));
    }
    std::vector<std::size_t> order(siblings.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // Who keeps a name that several siblings arrive at: a folder that is
    // created before a skipped one, one listed by a valid name before a
    // malformed one, one whose name was already valid before one that was
    // changed, then the smaller source name.
    auto key = [&](std::size_t i) {
        const MigrationFolder& folder = siblings[i]->folder;
        const std::wstring& own = nodes_[siblings[i]->node].component;
        return std::make_tuple(std::cref(valid[i]), folder.skipped, !folder.validName,
            own != valid[i], std::cref(own), std::cref(folder.listedName));
    };
    std::sort(
        order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });

    // The folder that keeps `component` below the parent, if any.
    auto keeper = [&](const std::wstring& component) -> const Draft* {
        if (kept_.empty())
            return nullptr;
        auto found = kept_.find(FolderName(parentTarget, TargetSeparator, component));
        return found == kept_.end() ? nullptr : &drafts_[found->second];
    };
    std::set<std::wstring> taken(valid.begin(), valid.end());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k];
        Draft& draft = *siblings[i];
        std::wstring component = valid[i];
        const bool first = k == 0 || valid[order[k - 1]] != valid[i];
        const Draft* holder = first ? keeper(component) : nullptr;
        if (holder != nullptr) {
            draft.folder.nameTaken = FolderName(parentTarget, TargetSeparator, component);
            draft.folder.nameTakenBy = holder->folder.sourceName;
        }
        if (!first || holder != nullptr) {
            unsigned n = 2;
            do
                component = withSuffix(valid[i], L"_" + std::to_wstring(n++));
            while (taken.count(component) > 0 || keeper(component) != nullptr);
            taken.insert(component);
        }
        Node& node = nodes_[draft.node];
        draft.folder.targetName = FolderName(parentTarget, TargetSeparator, component);
        draft.folder.renamedByRules = parentRenamed || component != node.component;
        draft.targetComponent = std::move(component);
        if (node.primary == none)
            node.primary = static_cast<std::size_t>(&draft - drafts_.data());
    }
}

// Names the tree from the top down, so that every folder's name starts with
// its parent's final name.
void TreeBuilder::nameTree()
{
    // Parents come before their children in nodes_. Only a folder that
    // keeps its target folder is compared with its source path whole.
    if (!kept_.empty()) {
        plain_.resize(nodes_.size());
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            const Node& node = nodes_[n];
            plain_[n] = FolderName(node.parent == none ? FolderName() : plain_[node.parent],
                TargetSeparator, node.component);
        }
    }
    nameSiblings(none, FolderName(), false);
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const MigrationFolder& primary = drafts_[nodes_[n].primary].folder;
        nameSiblings(n, primary.targetName, primary.renamedByRules);
    }
    for (Draft& draft : drafts_)
        draft.folder.onTarget = draft.kept || onTarget_.count(draft.folder.targetName) > 0;
}

bool TreeBuilder::givable(const std::wstring& name) const
{
    const std::vector<std::wstring> components = split(name, '/');
    if (store_ == FolderStore::Mailbox && components.size() == 1 && components[0] == L"INBOX")
        return false;
    for (std::size_t depth = 0; depth < components.size(); ++depth) {
        const std::wstring& component = components[depth];
        if (validFor(depth == 0, component) != component)
            return false;
    }
    return true;
}

void TreeBuilder::keepTargetFolders(const std::vector<tavir::mail::FolderInfo>& onTarget)
{
    for (const tavir::mail::FolderInfo& info : onTarget) {
        const FolderName name(utf7MToUnicode(info.name));
        onTarget_.insert(name);
        if (!info.guid.isNull())
            onTargetById_.emplace(info.guid, name);
    }
    for (std::size_t d = 0; d < drafts_.size(); ++d) {
        Draft& draft = drafts_[d];
        const Node& node = nodes_[draft.node];
        // The account's inbox is the target's, whatever its identifier.
        const bool inbox
            = store_ == FolderStore::Mailbox && node.parent == none && node.component == L"INBOX";
        auto found = onTargetById_.find(draft.folder.id);
        if (draft.folder.skipped || inbox || found == onTargetById_.end()
            || !givable(found->second.text()))
            continue;
        if (!isOwnTargetFolder(draft.node, found->second)) {
            draft.folder.idHeldBy = found->second;
            continue;
        }
        draft.kept = true;
        draft.folder.targetName = found->second;
        kept_.emplace(found->second, d);
    }
}

void TreeBuilder::indexValidComponents()
{
    if (!valid_.empty())
        return;
    valid_.resize(nodes_.size());
    // A node comes after its parent.
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const Node& node = nodes_[n];
        valid_[n] = validFor(node.parent == none, node.component);
        byValidKey_[ChildKey{node.parent, numberedFormKey(valid_[n], false)}].push_back(n);
    }
}

// A target folder found by identifier is the folder's when its name is one
// the rules could give the folder. Another name means the folder was moved,
// renamed on the source (whose identifiers are its own) or on the target;
// it is followed only while nothing says the target folder is another
// folder's: the target has nothing at the folder's own name (where it went
// before: two folders that swapped identifiers, or one that took the
// identifier of a folder gone), and no folder that could be given the
// target folder's name has its own identifier elsewhere on the target.
bool TreeBuilder::isOwnTargetFolder(std::size_t node, const FolderName& name)
{
    indexValidComponents();
    const std::vector<std::wstring> components = split(name.text(), '/');
    if (couldBeGiven(node, components))
        return true;
    return onTarget_.count(validPath(node)) == 0 && !crossed(node, components);
}

bool TreeBuilder::couldBeGiven(std::size_t node, const std::vector<std::wstring>& components) const
{
    std::size_t depth = components.size();
    for (std::size_t n = node; n != none; n = nodes_[n].parent)
        if (depth == 0 || !isNumberedForm(components[--depth], valid_[n]))
            return false;
    return depth == 0;
}

bool TreeBuilder::crossed(std::size_t node, const std::vector<std::wstring>& components) const
{
    // The nodes the rules could give the name's first components, level by
    // level.
    std::vector<std::size_t> matching = {none};
    for (const std::wstring& component : components) {
        std::vector<std::size_t> below;
        const std::wstring whole = numberedFormKey(component, false);
        const std::wstring numbered = numberedFormKey(component, true);
        for (std::size_t parent : matching)
            for (const std::wstring* key : {&whole, &numbered}) {
                if (key == &numbered && numbered == whole)
                    continue;
                auto found = byValidKey_.find(ChildKey{parent, *key});
                if (found == byValidKey_.end())
                    continue;
                for (std::size_t n : found->second)
                    if (isNumberedForm(component, valid_[n]))
                        below.push_back(n);
            }
        std::sort(below.begin(), below.end());
        below.erase(std::unique(below.begin(), below.end()), below.end());
        matching = std::move(below);
    }
    for (std::size_t n : matching)
        if (n != node && n != none)
            for (std::size_t d : nodes_[n].folders)
                if (onTargetById_.count(drafts_[d].folder.id) > 0)
                    return true;
    return false;
}

FolderName TreeBuilder::validPath(std::size_t node) const
{
    std::vector<std::size_t> path;
    for (std::size_t n = node; n != none; n = nodes_[n].parent)
        path.push_back(n);
    FolderName name;
    for (auto n = path.rbegin(); n != path.rend(); ++n)
        name = FolderName(name, TargetSeparator, valid_[*n]);
    return name;
}

// Visits every folder in the order of their source paths, compared component
// by component, and of their listed names where the paths are equal.
template <class Visit> void TreeBuilder::inSourceOrder(Visit visit)
{
    auto byComponent = [this](std::size_t a, std::size_t b) {
        return nodes_[a].component < nodes_[b].component;
    };
    std::vector<std::size_t> pending(topLevel_);
    std::sort(pending.begin(), pending.end(), byComponent);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const std::size_t n = pending.back();
        pending.pop_back();
        std::vector<std::size_t> folders = nodes_[n].folders;
        std::sort(folders.begin(), folders.end(), [this](std::size_t a, std::size_t b) {
            return drafts_[a].folder.listedName < drafts_[b].folder.listedName;
        });
        for (std::size_t d : folders)
            visit(drafts_[d].folder);
        std::vector<std::size_t> children = nodes_[n].children;
        std::sort(children.begin(), children.end(), byComponent);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
}

// The source's identifier where no other folder lists it; one made from the
// listed name otherwise. An identifier two folders list tells neither
// apart: a folder copied on the source's disk keeps it, and the first in
// any order would take the other's target folder.
void TreeBuilder::assignIds()
{
    std::map<KUuid, unsigned> listings;
    for (const Draft& draft : drafts_)
        if (draft.folder.listed && !draft.folder.id.isNull())
            ++listings[draft.folder.id];
    std::set<KUuid> used;
    inSourceOrder([&](MigrationFolder& folder) {
        folder.idShared = folder.listed && !folder.id.isNull() && listings[folder.id] > 1;
        if (!folder.listed || folder.id.isNull() || folder.idShared || used.count(folder.id) > 0) {
            unsigned attempt = 1;
            do
                folder.id = derivedId(folder.listedName, attempt++);
            while (used.count(folder.id) > 0);
        }
        used.insert(folder.id);
    });
}

std::vector<MigrationFolder> TreeBuilder::inTargetTreeOrder()
{
    std::vector<MigrationFolder> out;
    out.reserve(drafts_.size());
    // Siblings in the order of their target names' last components; a
    // folder's own folders follow it at once.
    auto siblingsOf = [this](std::size_t node) {
        std::vector<std::pair<std::wstring, std::size_t>> folders;
        for (std::size_t child : childrenOf(node))
            for (std::size_t d : nodes_[child].folders)
                folders.emplace_back(drafts_[d].targetComponent, d);
        std::sort(folders.begin(), folders.end());
        return folders;
    };
    std::vector<std::size_t> pending;
    auto push = [&](std::size_t node) {
        auto folders = siblingsOf(node);
        for (auto it = folders.rbegin(); it != folders.rend(); ++it)
            pending.push_back(it->second);
    };
    push(none);
    while (!pending.empty()) {
        const std::size_t d = pending.back();
        pending.pop_back();
        out.push_back(std::move(drafts_[d].folder));
        if (nodes_[drafts_[d].node].primary == d)
            push(drafts_[d].node);
    }
    return out;
}

} // namespace

std::vector<std::vector<std::size_t>> namesBelowInboxSpellings(
    const std::vector<tavir::mail::FolderInfo>& listed, char separator)
{
    // By the path with INBOX spelled so: the names listed for it, each
    // once, in byte order, which puts "INBOX/..." (capitals sort first)
    // before every other spelling.
    std::map<std::string, std::map<std::string_view, std::size_t>> byPath;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const tavir::mail::FolderInfo& info = listed[i];
        const std::size_t end = separator == '\0' ? std::string::npos : info.name.find(separator);
        if (end == std::string::npos || !info.selectable || !isInboxName(info.name.substr(0, end))
            || unicodeToUtf7M(utf7MToUnicode(info.name)) != info.name)
            continue;
        byPath["INBOX" + info.name.substr(end)].emplace(info.name, i);
    }
    std::vector<std::vector<std::size_t>> groups;
    for (const auto& [path, names] : byPath) {
        if (names.size() < 2)
            continue;
        groups.emplace_back();
        for (const auto& [name, index] : names)
            groups.back().push_back(index);
    }
    return groups;
}

std::vector<std::string> namesNotListed(
    const std::vector<tavir::mail::FolderInfo>& listed, char separator)
{
    // Paths as the tree compares them: components joined by the separator,
    // a first component INBOX in any case spelled "INBOX".
    auto pathOf = [separator](std::vector<std::wstring> components, std::size_t depth) {
        if (isInboxName(components[0]))
            components[0] = L"INBOX";
        std::wstring path = components[0];
        for (std::size_t i = 1; i < depth; ++i)
            path += static_cast<wchar_t>(static_cast<unsigned char>(separator)) + components[i];
        return path;
    };
    std::set<std::wstring> named;
    for (const tavir::mail::FolderInfo& info : listed)
        if (!info.name.empty()) {
            const std::vector<std::wstring> components
                = split(utf7MToUnicode(info.name), separator);
            named.insert(pathOf(components, components.size()));
        }
    std::vector<std::string> names;
    auto ask = [&](const std::wstring& path) {
        if (named.insert(path).second)
            names.push_back(unicodeToUtf7M(path));
    };
    ask(L"INBOX");
    for (const tavir::mail::FolderInfo& info : listed) {
        const std::wstring decoded = utf7MToUnicode(info.name);
        // A malformed name's parents are not the server's own bytes.
        if (info.name.empty() || unicodeToUtf7M(decoded) != info.name)
            continue;
        const std::vector<std::wstring> components = split(decoded, separator);
        // A name with an empty component ("/x", "a//b", "a/") may be a
        // server's spelling of its parent: asked for, the parent could open
        // the same folder, and its mail would be copied twice.
        if (isSharedViewName(components[0])
            || std::any_of(components.begin(), components.end(),
                [](const std::wstring& component) { return component.empty(); }))
            continue;
        for (std::size_t depth = 1; depth < components.size(); ++depth)
            ask(pathOf(components, depth));
    }
    return names;
}

FolderListImpl::FolderListImpl(FolderStore store)
    : store_(store)
{
}

void FolderListImpl::build(const std::vector<tavir::mail::FolderInfo>& listed, char separator,
    const std::vector<tavir::mail::FolderInfo>& onTarget)
{
    TreeBuilder tree(separator, store_);
    tree.addListed(listed);
    tree.completeParents();
    tree.markSharedViews();
    tree.assignIds();
    tree.keepTargetFolders(onTarget);
    tree.nameTree();

    folders_.clear();
    auto& inOrder = folders_.get<InTreeOrder>();
    for (MigrationFolder& folder : tree.inTargetTreeOrder())
        if (!inOrder.push_back(std::move(folder)).second)
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
    auto found = index.find(FolderName(targetName));
    return found == index.end() ? nullptr : &*found;
}

std::shared_ptr<IFolderList> createFolderList(FolderStore store)
{
    return std::make_shared<FolderListImpl>(store);
}

} // namespace tavir::migration
