// The per-account folder list: target names by the rules of
// docs/folder-names.md, completed parents, skipped shared views, creation
// order and identifiers.
#include "Imap/engine/FolderListImpl.h"
#include "Imap/textconv/TextConversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

using namespace tavir::migration;
using tavir::mail::FolderInfo;
using tavir::mailserver::common::KUuid;

namespace {

FolderInfo listed(const std::string& name, bool selectable = true, const std::string& guid = "")
{
    FolderInfo info;
    info.name = name;
    info.selectable = selectable;
    info.guid = KUuid::fromString(guid, false);
    return info;
}

std::shared_ptr<IFolderList> build(const std::vector<FolderInfo>& folders, char separator = '/',
    FolderStore store = FolderStore::Mailbox)
{
    auto list = createFolderList(store);
    list->build(folders, separator, {});
    return list;
}

std::wstring targetOf(const IFolderList& list, const std::string& listedName)
{
    const MigrationFolder* folder = list.findByListedName(listedName);
    return folder ? folder->targetName : L"<missing>";
}

std::vector<std::wstring> targetNames(const std::vector<MigrationFolder>& folders)
{
    std::vector<std::wstring> names;
    for (const MigrationFolder& folder : folders)
        names.push_back(folder.targetName);
    return names;
}

std::size_t utf8Bytes(const std::wstring& text)
{
    std::size_t bytes = 0;
    for (wchar_t c : text)
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    return bytes;
}

struct NameCase {
    const char* what;
    std::string listedName; // as the source lists it (modified UTF-7)
    char separator;
    FolderStore store;
    std::wstring target;
    bool renamed;
};

const FolderStore Mailbox = FolderStore::Mailbox;
const FolderStore Public = FolderStore::PublicFolders;

const NameCase nameCases[] = {
    {"inbox", "INBOX", '/', Mailbox, L"INBOX", false},
    {"inbox in another case", "Inbox", '/', Mailbox, L"INBOX", false},
    {"nested", "Work/Projects/2024", '/', Mailbox, L"Work/Projects/2024", false},
    {"below the inbox", "INBOX/Sent", '/', Mailbox, L"INBOX/Sent", false},
    {"dot separator", "Archive.2020.Q1", '.', Mailbox, L"Archive/2020/Q1", false},
    {"backslash separator", "Archive\\2020", '\\', Mailbox, L"Archive/2020", false},
    {"slash inside a dot-separated name", "Q1/Q2.notes", '.', Mailbox, L"Q1_Q2/notes", true},
    {"no hierarchy", "a/b.c", '\0', Mailbox, L"a_b.c", true},
    {"backslash kept", "a\\b", '/', Mailbox, L"a\\b", false},
    {"double quote kept", "say \"hi\"", '/', Mailbox, L"say \"hi\"", false},
    {"RFC 3501 example", "~peter/mail/&U,BTFw-/&ZeVnLIqe-", '/', Mailbox,
        L"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E", false},
    {"umlaut", "Entw&APw-rfe", '/', Mailbox, L"Entw\u00FCrfe", false},
    {"cyrillic", "&BB4EQgQ,BEAEMAQyBDsENQQ9BD0ESwQ1-", '/', Mailbox,
        L"\u041E\u0442\u043F\u0440\u0430\u0432\u043B\u0435\u043D\u043D\u044B\u0435", false},
    {"emoji through surrogates", "Fun &2D3eAA-/&2Dzfj9g93gA-", '/', Mailbox,
        L"Fun \U0001F600/\U0001F38F\U0001F600", false},
    {"ampersand", "R&-D", '/', Mailbox, L"R&D", false},
    {"wildcards", "50%/a*b", '/', Mailbox, L"50_/a_b", true},
    {"control character", "a\tb", '/', Mailbox, L"a_b", true},
    {"8-bit byte, not modified UTF-7", "caf\xE9", '/', Mailbox, L"caf_", true},
    {"empty component", "a//b", '/', Mailbox, L"a/_/b", true},
    {"dot components", "a/./..", '/', Mailbox, L"a/_./_..", true},
    {"leading dot separator", ".a", '.', Mailbox, L"_/a", true},
    {"leading slash separator", "/x/y", '/', Mailbox, L"_/x/y", true},
    {"the separator alone", ".", '.', Mailbox, L"_/_", true},
    {"the separator twice", "..", '.', Mailbox, L"_/_/_", true},
    {"trailing separator", "a.", '.', Mailbox, L"a/_", true},
    {"special at top level", "Sent", '/', Mailbox, L"Sent_Fixed", true},
    {"special in another case", "tRASH", '/', Mailbox, L"tRASH_Fixed", true},
    {"groupware name", "Calendar/2020", '/', Mailbox, L"Calendar_Fixed/2020", true},
    {"special nested", "Projects/Sent/Junk", '/', Mailbox, L"Projects/Sent/Junk", false},
    {"special with a dot separator", "Drafts.old", '.', Mailbox, L"Drafts_Fixed/old", true},
    {"near a special name", "Sent Items", '/', Mailbox, L"Sent Items", false},
    {"shared view in another case", "public folders", '/', Mailbox, L"public folders_Fixed", true},
    {"namespace", "#news/x", '/', Mailbox, L"_news/x", true},
    {"hash nested", "x/#y", '/', Mailbox, L"x/#y", false},
    {"public store: special names", "Sent", '/', Public, L"Sent", false},
    {"public store: inbox", "inbox", '/', Public, L"INBOX", false},
    {"public store: namespace", "#x", '/', Public, L"_x", true},
    {"public store: shared view name", "ARCHIVE FOLDERS", '/', Public, L"ARCHIVE FOLDERS_Fixed",
        true},
};

} // namespace

TEST(FolderList, SourceNamesBecomeTargetNames)
{
    for (const NameCase& c : nameCases) {
        SCOPED_TRACE(c.what);
        auto list = build({listed(c.listedName)}, c.separator, c.store);
        const MigrationFolder* folder = list->findByListedName(c.listedName);
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->targetName, c.target);
        EXPECT_EQ(folder->renamed(), c.renamed);
        EXPECT_TRUE(folder->listed);
        EXPECT_FALSE(folder->skipped);
        // Selected on the source by exactly the name it was listed with.
        if (folder->validName) {
            EXPECT_EQ(unicodeToUtf7M(folder->sourceName), c.listedName);
        }
    }
}

// Each folder to copy as "source name -> target name", in copy order.
struct CopyCase {
    const char* what;
    std::vector<std::string> listedNames;
    char separator;
    std::vector<std::wstring> copies;
};

const CopyCase copyCases[] = {
    {"nested, decoded, made valid", {"Archive.2020", "Entw&APw-rfe.a*"}, '.',
        {L"Archive.2020 -> Archive/2020", L"Entw\u00FCrfe.a* -> Entw\u00FCrfe/a_"}},
    {"a name that begins with the dot separator", {"a", ".a"}, '.', {L".a -> _/a", L"a -> a"}},
    {"a name that begins with the slash separator", {"x", "/x"}, '/', {L"/x -> _/x", L"x -> x"}},
    {"the separator alone, beside the empty component's child", {".", ".a"}, '.',
        {L". -> _/_", L".a -> _/a"}},
    {"a completed empty parent is not copied", {"/x/y"}, '/', {L"/x/y -> _/x/y"}},
};

TEST(FolderList, SelectsByTheListedNameAndAppendsByTheTargetName)
{
    for (const CopyCase& c : copyCases) {
        SCOPED_TRACE(c.what);
        std::vector<FolderInfo> folders;
        for (const std::string& name : c.listedNames)
            folders.push_back(listed(name));
        std::vector<std::wstring> copies;
        for (const MigrationFolder& folder : build(folders, c.separator)->foldersToCopy())
            copies.push_back(folder.sourceName.text() + L" -> " + folder.targetName.text());
        EXPECT_EQ(copies, c.copies);
    }
}

TEST(FolderList, MalformedListedNamesAreNotCopiedAndTakeNoNameFromAValidOne)
{
    // "a&2D0-b" (a lone surrogate) decodes to "ab": selecting it by its
    // decoded name would copy the folder "ab" a second time.
    auto list = build({listed("a&2D0-b"), listed("ab"), listed("caf\xE9"), listed("&AGE-"),
        listed("&2D0-"), listed("Entw&APw-rfe")});
    EXPECT_EQ(
        targetNames(list->foldersToCopy()), (std::vector<std::wstring>{L"Entw\u00FCrfe", L"ab"}));
    EXPECT_EQ(targetNames(list->unreadableFolders()),
        (std::vector<std::wstring>{L"_", L"a", L"ab_2", L"caf_"}));
    EXPECT_EQ(list->foldersToCreate().size(), 6u);
}

TEST(FolderList, LongComponentsAreCutAtACharacterBoundary)
{
    // 200 two-byte letters, then 3-byte letters: both lists cut to <= 255 bytes.
    const std::wstring umlauts(200, L'\u00FC');
    const std::wstring kanji(100, L'\u65E5');
    for (const std::wstring& name : {umlauts, kanji, umlauts + L"*", umlauts + L"%"}) {
        std::wstring cut = validComponent(name);
        EXPECT_LE(utf8Bytes(cut), MaxComponentBytes);
        EXPECT_GT(utf8Bytes(cut), MaxComponentBytes - 3);
        EXPECT_EQ(name.compare(0, cut.size(), cut), 0);
    }
    // Two names that agree in their first 255 bytes are kept apart, and the
    // suffix does not make the second one too long.
    FolderInfo first = listed(std::string(300, 'a') + "1");
    FolderInfo second = listed(std::string(300, 'a') + "2");
    auto cut = build({second, first});
    EXPECT_EQ(targetOf(*cut, first.name), std::wstring(255, L'a'));
    EXPECT_EQ(targetOf(*cut, second.name), std::wstring(253, L'a') + L"_2");
}

struct CollisionCase {
    const char* what;
    std::vector<std::string> listedNames;
    std::map<std::string, std::wstring> targets;
};

const CollisionCase collisionCases[] = {
    {"two wildcards", {"a*", "a%"}, {{"a%", L"a_"}, {"a*", L"a__2"}}},
    {"a name already valid keeps it", {"a*", "a_"}, {{"a_", L"a_"}, {"a*", L"a__2"}}},
    {"suffix skips a name in use", {"a*", "a%", "a__2"},
        {{"a%", L"a_"}, {"a*", L"a__3"}, {"a__2", L"a__2"}}},
    {"special beside its fixed name", {"Sent", "Sent_Fixed"},
        {{"Sent_Fixed", L"Sent_Fixed"}, {"Sent", L"Sent_Fixed_2"}}},
    {"two cases of a special name", {"sent", "SENT"},
        {{"SENT", L"SENT_Fixed"}, {"sent", L"sent_Fixed"}}},
    {"children follow their parent", {"x*/c", "x%/c", "x%/c*", "x%/c%"},
        {{"x*/c", L"x__2/c"}, {"x%/c", L"x_/c"}, {"x%/c%", L"x_/c_"}, {"x%/c*", L"x_/c__2"}}},
    {"same name at other levels is no collision", {"a*/a_", "a_/a*"},
        {{"a*/a_", L"a__2/a_"}, {"a_/a*", L"a_/a_"}}},
    {"a created folder wins over a skipped one", {"Public Folders", "Public Folders%Fixed"},
        {{"Public Folders%Fixed", L"Public Folders_Fixed"}}},
    {"inbox listed twice", {"INBOX", "INBOX", "INBOX/x"},
        {{"INBOX", L"INBOX"}, {"INBOX/x", L"INBOX/x"}}},
};

TEST(FolderList, NamesThatBecomeEqualStayApartWhateverTheListOrder)
{
    std::mt19937 rng(17);
    for (const CollisionCase& c : collisionCases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> order = c.listedNames;
        for (int round = 0; round < 6; ++round) {
            std::shuffle(order.begin(), order.end(), rng);
            std::vector<FolderInfo> folders;
            for (const std::string& name : order)
                folders.push_back(listed(name));
            auto list = build(folders);
            for (const auto& [name, target] : c.targets)
                EXPECT_EQ(targetOf(*list, name), target) << name;
            std::set<std::wstring> distinct;
            for (const MigrationFolder& folder : list->foldersToCreate())
                EXPECT_TRUE(distinct.insert(folder.targetName).second) << "merged";
        }
    }
}

// A second run into a target that holds the folders of the first: every
// folder keeps the target folder it got (found by its identifier), a new
// sibling takes no name from it and the clash is named; the target's own
// folders are used by name, never taken by identifier.
struct KeepCase {
    const char* what;
    std::vector<std::string> before, after; // listed names of the two runs
    // Target names of the first run, renamed on the target in between.
    std::map<std::wstring, std::wstring> moved;
    // Folders of the target's own (no identifier of the list).
    std::vector<std::string> own;
    std::map<std::string, std::wstring> targets;
    std::map<std::string, std::wstring> taken; // listed name -> "name taken|by whom"
    std::set<std::string> onTarget; // listed names whose target folder exists
    // The identifiers the source lists in each run (listed name -> a digit
    // that names one), and what the second run makes of them: folders whose
    // identifier is shared, and target folders that have a folder's
    // identifier but are not taken as its own.
    std::map<std::string, char> idsBefore, idsAfter;
    std::set<std::string> shared;
    std::map<std::string, std::wstring> heldBy;
};

// The identifier named by a digit.
std::string identifier(char digit)
{
    return "5C0E1D2A-7B3F-4A6E-9D1C-00000000000" + std::string(1, digit);
}

std::vector<FolderInfo> listedWithIds(
    const std::vector<std::string>& names, const std::map<std::string, char>& ids)
{
    std::vector<FolderInfo> folders;
    for (const std::string& name : names) {
        auto id = ids.find(name);
        folders.push_back(listed(name, true, id == ids.end() ? "" : identifier(id->second)));
    }
    return folders;
}

const KeepCase keepCases[] = {
    {"a renamed folder keeps its name beside a new sibling", {"a*"}, {"a*", "a_"}, {}, {},
        {{"a*", L"a_"}, {"a_", L"a__2"}}, {{"a_", L"a_|a*"}}, {"a*"}, {}, {}, {}, {}},
    {"a special folder's fixed name", {"Sent"}, {"Sent_Fixed", "Sent"}, {}, {},
        {{"Sent", L"Sent_Fixed"}, {"Sent_Fixed", L"Sent_Fixed_2"}},
        {{"Sent_Fixed", L"Sent_Fixed|Sent"}}, {"Sent"}, {}, {}, {}, {}},
    {"children stay below their parent's folder", {"x*/c"}, {"x_/c", "x*/c", "x_"}, {}, {},
        {{"x*", L"x_"}, {"x*/c", L"x_/c"}, {"x_", L"x__2"}, {"x_/c", L"x__2/c"}},
        {{"x_", L"x_|x*"}}, {"x*", "x*/c"}, {}, {}, {}, {}},
    {"a folder moved on the target is followed; its name is free", {"a", "b"}, {"a", "b"},
        {{L"a", L"z"}}, {}, {{"a", L"z"}, {"b", L"b"}}, {}, {"a", "b"}, {}, {}, {}, {}},
    {"the target's own folder of that name is used", {}, {"Work", "Sent"}, {}, {"Work", "Sent"},
        {{"Work", L"Work"}, {"Sent", L"Sent_Fixed"}}, {}, {"Work"}, {}, {}, {}, {}},
    {"a name the rules could not give is not taken over", {"t"}, {"t"}, {{L"t", L"Trash"}}, {},
        {{"t", L"t"}}, {}, {}, {}, {}, {}, {}},
    {"a numbered name is the folder's", {"a*", "a%"}, {"a*", "a%"}, {}, {},
        {{"a%", L"a_"}, {"a*", L"a__2"}}, {}, {"a%", "a*"}, {{"a*", '1'}, {"a%", '2'}},
        {{"a*", '1'}, {"a%", '2'}}, {}, {}},
    {"numbered names cut to fit are the folders'",
        {std::string(300, 'a') + "1", std::string(300, 'a') + "2"},
        {std::string(300, 'a') + "2", std::string(300, 'a') + "1"}, {}, {},
        {{std::string(300, 'a') + "1", std::wstring(255, L'a')},
            {std::string(300, 'a') + "2", std::wstring(253, L'a') + L"_2"}},
        {}, {std::string(300, 'a') + "1", std::string(300, 'a') + "2"},
        {{std::string(300, 'a') + "1", '1'}, {std::string(300, 'a') + "2", '2'}},
        {{std::string(300, 'a') + "1", '1'}, {std::string(300, 'a') + "2", '2'}}, {}, {}},
    {"one identifier on two folders: a new one takes no target folder", {"b"}, {"a", "b"}, {}, {},
        {{"a", L"a"}, {"b", L"b"}}, {}, {"b"}, {{"b", '1'}}, {{"a", '1'}, {"b", '1'}}, {"a", "b"},
        {}},
    {"one identifier on two folders, then three", {"a", "b"}, {"c", "b", "a"}, {}, {},
        {{"a", L"a"}, {"b", L"b"}, {"c", L"c"}}, {}, {"a", "b"}, {{"a", '1'}, {"b", '1'}},
        {{"a", '1'}, {"b", '1'}, {"c", '1'}}, {"a", "b", "c"}, {}},
    {"swapped identifiers", {"a", "b"}, {"a", "b"}, {}, {}, {{"a", L"a"}, {"b", L"b"}}, {},
        {"a", "b"}, {{"a", '1'}, {"b", '2'}}, {{"a", '2'}, {"b", '1'}}, {},
        {{"a", L"b"}, {"b", L"a"}}},
    {"the identifier of a folder gone, while the folder's own name is there", {"a", "b"}, {"a"}, {},
        {}, {{"a", L"a"}}, {}, {"a"}, {{"a", '1'}, {"b", '2'}}, {{"a", '2'}}, {}, {{"a", L"b"}}},
    {"identifiers crossed with a folder moved on the target", {"a", "b"}, {"a", "b"},
        {{L"a", L"z"}}, {}, {{"a", L"a"}, {"b", L"b"}}, {}, {"b"}, {{"a", '1'}, {"b", '2'}},
        {{"a", '2'}, {"b", '1'}}, {}, {{"a", L"b"}, {"b", L"z"}}},
    {"a folder renamed on the source is followed", {"a"}, {"c"}, {}, {}, {{"c", L"a"}}, {}, {"c"},
        {{"a", '1'}}, {{"c", '1'}}, {}, {}},
    {"a moved folder keeps its folder from a new folder of that name", {"a"}, {"a", "z"},
        {{L"a", L"z"}}, {}, {{"a", L"z"}, {"z", L"z_2"}}, {{"z", L"z|a"}}, {"a"}, {{"a", '1'}},
        {{"a", '1'}}, {}, {}},
};

TEST(FolderList, AFolderKeepsTheTargetFolderItGotBefore)
{
    for (const KeepCase& c : keepCases) {
        SCOPED_TRACE(c.what);
        const std::vector<FolderInfo> first = listedWithIds(c.before, c.idsBefore);
        const std::vector<FolderInfo> second = listedWithIds(c.after, c.idsAfter);
        std::vector<FolderInfo> onTarget;
        for (const MigrationFolder& folder : build(first)->foldersToCreate()) {
            auto moved = c.moved.find(folder.targetName);
            FolderInfo made = listed(
                unicodeToUtf7M(moved == c.moved.end() ? folder.targetName.text() : moved->second));
            made.guid = folder.id;
            onTarget.push_back(made);
        }
        for (const std::string& name : c.own)
            onTarget.push_back(listed(name, true, "00000000-1111-4222-8333-444444444444"));
        auto list = createFolderList(FolderStore::Mailbox);
        list->build(second, '/', onTarget);
        for (const auto& [name, target] : c.targets) {
            SCOPED_TRACE(name);
            const MigrationFolder* folder = list->findByListedName(name);
            ASSERT_NE(folder, nullptr);
            EXPECT_EQ(folder->targetName, target);
            EXPECT_EQ(folder->onTarget, c.onTarget.count(name) > 0);
            auto taken = c.taken.find(name);
            EXPECT_EQ(folder->nameTaken.text() + L"|" + folder->nameTakenBy.text(),
                taken == c.taken.end() ? L"|" : taken->second);
            EXPECT_EQ(folder->idShared, c.shared.count(name) > 0);
            auto heldBy = c.heldBy.find(name);
            EXPECT_EQ(folder->idHeldBy, heldBy == c.heldBy.end() ? L"" : heldBy->second);
        }
        // Never two source folders in one target folder.
        std::set<std::wstring> distinct;
        for (const MigrationFolder& folder : list->foldersToCreate())
            EXPECT_TRUE(distinct.insert(folder.targetName).second) << "merged";
    }
}

TEST(FolderList, MissingParentsAreCreatedFirstAndHoldNothing)
{
    auto list
        = build({listed("a.b.c"), listed("a.x", false), listed("INBOX"), listed("inbox.y")}, '.');
    EXPECT_EQ(targetNames(list->foldersToCreate()),
        (std::vector<std::wstring>{L"INBOX", L"INBOX/y", L"a", L"a/b", L"a/b/c", L"a/x"}));
    EXPECT_EQ(targetNames(list->foldersToCopy()),
        (std::vector<std::wstring>{L"INBOX", L"INBOX/y", L"a/b/c"}));
    const MigrationFolder* parent = list->findByTargetName(L"a/b");
    ASSERT_NE(parent, nullptr);
    EXPECT_FALSE(parent->listed);
    EXPECT_FALSE(parent->selectable);
    EXPECT_EQ(parent->sourceName, L"a.b");
    EXPECT_EQ(parent->listedName, "a.b");
    // "inbox.y" is below the listed INBOX: no second inbox is completed.
    EXPECT_EQ(list->size(), 6u);
}

TEST(FolderList, CreationOrderPutsEveryParentFirst)
{
    std::vector<FolderInfo> folders;
    for (const char* name : {"z/y/x/w", "z", "a b", "a/b", "a/b c/d", "a!", "m/&APw-/n", "a/b/c"})
        folders.push_back(listed(name));
    std::mt19937 rng(4);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(folders.begin(), folders.end(), rng);
        auto list = build(folders);
        std::set<std::wstring> created;
        for (const MigrationFolder& folder : list->foldersToCreate()) {
            const std::wstring name = folder.targetName;
            const std::size_t slash = name.rfind(L'/');
            EXPECT_TRUE(slash == std::wstring::npos || created.count(name.substr(0, slash)) > 0)
                << unicodeToUtf8(name);
            created.insert(name);
        }
        EXPECT_EQ(created.size(), 14u);
    }
}

TEST(FolderList, SharedViewsAreNeitherCreatedNorCopied)
{
    auto list = build({listed("Public Folders/Sales"), listed("Archive Folders"),
        listed("Archive Folders/2019"), listed("Work"), listed("Public Folders2")});
    EXPECT_EQ(targetNames(list->foldersToCreate()),
        (std::vector<std::wstring>{L"Public Folders2", L"Work"}));
    EXPECT_EQ(targetNames(list->foldersToCopy()),
        (std::vector<std::wstring>{L"Public Folders2", L"Work"}));
    std::vector<std::wstring> skipped;
    for (const MigrationFolder& folder : list->skippedFolders())
        skipped.push_back(folder.sourceName);
    std::sort(skipped.begin(), skipped.end());
    EXPECT_EQ(skipped,
        (std::vector<std::wstring>{L"Archive Folders", L"Archive Folders/2019", L"Public Folders",
            L"Public Folders/Sales"}));
}

TEST(FolderList, EveryFolderHasItsOwnIdentifier)
{
    const std::string shared = "0B6F4D2A-7C1E-4F3A-9D8B-1A2B3C4D5E6F";
    const std::string own = "11111111-2222-3333-4444-555555555555";
    auto list = build({listed("b", true, shared), listed("a", true, shared), listed("c", true, own),
        listed("d"), listed("e/f", true, "not an identifier")});
    // An identifier two folders list is neither's: each gets one made from
    // its listed name, and says so.
    for (const char* name : {"a", "b"}) {
        EXPECT_NE(list->findByListedName(name)->id, KUuid::fromString(shared, false)) << name;
        EXPECT_TRUE(list->findByListedName(name)->idShared) << name;
    }
    EXPECT_EQ(list->findByListedName("c")->id, KUuid::fromString(own, false));
    EXPECT_FALSE(list->findByListedName("c")->idShared);
    std::set<KUuid> ids;
    for (const MigrationFolder& folder : list->foldersToCreate()) {
        EXPECT_FALSE(folder.id.isNull()) << folder.listedName;
        EXPECT_TRUE(ids.insert(folder.id).second) << folder.listedName;
        const MigrationFolder* byId = list->findById(folder.id);
        ASSERT_NE(byId, nullptr);
        EXPECT_EQ(byId->targetName, folder.targetName);
    }
    EXPECT_EQ(ids.size(), 6u); // with the completed parent "e"
    EXPECT_EQ(list->findById(KUuid()), nullptr);
    // Made from the listed name, the same in every run.
    auto again = build({listed("e/f"), listed("d"), listed("a"), listed("b")});
    for (const char* name : {"d", "e", "e/f", "a", "b"})
        EXPECT_EQ(again->findByListedName(name)->id, list->findByListedName(name)->id) << name;
}

// One folder however often it is listed: its name twice, or INBOX in any
// letter case (RFC 3501 5.1), selectable where any listing says so, with the
// first identifier listed, selected as INBOX where the source lists it so.
TEST(FolderList, ANameListedTwiceIsOneFolder)
{
    const std::string guid = "11111111-2222-3333-4444-555555555555";
    struct Case {
        const char* what;
        std::vector<FolderInfo> listed;
        std::wstring target;
        std::string selectedAs;
    };
    const Case cases[] = {
        {"a name listed twice", {listed("a", false), listed("a", true, guid)}, L"a", "a"},
        {"INBOX in two spellings", {listed("inbox", false), listed("INBOX", true, guid)}, L"INBOX",
            "INBOX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto list = build(c.listed);
        ASSERT_EQ(list->size(), 1u);
        const MigrationFolder* folder = list->findByTargetName(c.target);
        ASSERT_NE(folder, nullptr);
        EXPECT_TRUE(folder->selectable);
        EXPECT_EQ(folder->id.toString(), guid);
        EXPECT_EQ(folder->listedName, c.selectedAs);
        EXPECT_EQ(folder->sourceName, utf7MToUnicode(c.selectedAs));
    }
}

// The names below INBOX in several spellings whose folders only the source
// can tell apart, in groups: "INBOX/..." first, then by name.
TEST(FolderList, NamesBelowInboxSpellingsAreGroupedForTheSourceToJudge)
{
    using Groups = std::vector<std::vector<std::size_t>>;
    struct Case {
        const char* what;
        std::vector<FolderInfo> listed;
        char separator;
        Groups groups;
    };
    const Case cases[] = {
        {"three spellings", {listed("inbox/Sub"), listed("INBOX/Sub"), listed("Inbox/Sub")}, '/',
            {{1, 2, 0}}},
        {"a dot separator", {listed("INBOX.Sub"), listed("Inbox.Sub")}, '.', {{0, 1}}},
        {"one name listed twice", {listed("INBOX/Sub"), listed("INBOX/Sub")}, '/', {}},
        {"another case below INBOX is another folder", {listed("INBOX/Sub"), listed("INBOX/sub")},
            '/', {}},
        {"a spelling that can't be selected", {listed("INBOX/Sub"), listed("Inbox/Sub", false)},
            '/', {}},
        {"a dotted capital I is no I", {listed("INBOX/x"), listed("&ATA-NBOX/x")}, '/', {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.groups, namesBelowInboxSpellings(c.listed, c.separator));
    }
}

// The names a listing leaves out that the source is asked to open: INBOX
// first where no spelling of it is listed, then the parents not listed, each
// once, in the order of the listing, as the source spells them.
TEST(FolderList, NamesNotListedAreINBOXAndTheParentsLeftOut)
{
    using Names = std::vector<std::string>;
    struct Case {
        const char* what;
        std::vector<FolderInfo> listed;
        char separator;
        Names names;
    };
    const Case cases[] = {
        {"everything listed", {listed("INBOX"), listed("a"), listed("a/b")}, '/', {}},
        {"INBOX listed in another case", {listed("inbox"), listed("a")}, '/', {}},
        {"INBOX listed as a parent only", {listed("INBOX", false), listed("INBOX/a")}, '/', {}},
        {"nothing listed", {}, '/', {"INBOX"}},
        {"INBOX left out", {listed("a")}, '/', {"INBOX"}},
        {"INBOX only implied by a folder prefix", {listed("INBOX.Sent"), listed("INBOX.Drafts")},
            '.', {"INBOX"}},
        {"INBOX implied in another case", {listed("Inbox/Sub")}, '/', {"INBOX"}},
        {"INBOX and a parent below it implied", {listed("INBOX/a/b")}, '/', {"INBOX", "INBOX/a"}},
        {"parents left out, each once, in the listing's order",
            {listed("INBOX"), listed("x/y/z"), listed("a/d"), listed("x/w")}, '/',
            {"x", "x/y", "a"}},
        {"a parent listed as not selectable", {listed("INBOX"), listed("p", false), listed("p/c")},
            '/', {}},
        {"a parent as the source encodes it", {listed("INBOX"), listed("Entw&APw-rfe/x")}, '/',
            {"Entw&APw-rfe"}},
        {"names with an empty component",
            {listed("INBOX"), listed("/x"), listed("a//b"), listed("c/")}, '/', {}},
        {"a malformed name", {listed("INBOX"), listed("caf\xE9/x")}, '/', {}},
        {"below a shared view", {listed("INBOX"), listed("Public Folders/x/y")}, '/', {}},
        {"no hierarchy", {listed("a/b")}, '\0', {"INBOX"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.names, namesNotListed(c.listed, c.separator));
    }
}

TEST(FolderList, BuildReplacesTheList)
{
    auto list = build({listed("a"), listed("b")});
    list->build({listed("c")}, '/', {});
    EXPECT_EQ(targetNames(list->foldersToCreate()), std::vector<std::wstring>{L"c"});
    EXPECT_EQ(list->findByListedName("a"), nullptr);
    list->build({}, '/', {});
    EXPECT_EQ(list->size(), 0u);
}
