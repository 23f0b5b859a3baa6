#pragma once
// The folders of one account as a migration sees them: what the source
// listed, completed with missing parents, each with the name it gets on the
// target and its identifier. A worker builds one list per account and asks
// it what to create and what to copy.
#include "Imap/engine/FolderName.h"
#include "Imap/engine/FolderNameRules.h"
#include "crypto/KUuid.h"
#include "imapclient/CommandFolder.h"

#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

struct MigrationFolder {
    tavir::mailserver::common::KUuid id;
    // As the source listed it (modified UTF-7); for a completed parent, the
    // encoding of its source name.
    std::string listedName;
    // Decoded, with the source's separator: the name to SELECT on the source.
    FolderName sourceName;
    // Joined with "/": the name to create and APPEND into on the target.
    FolderName targetName;
    bool selectable = false; // listed without \NoSelect: has messages to copy
    bool listed = false; // false for a parent the source did not list
    bool skipped = false; // below "Public Folders" or "Archive Folders"
    // False when the listed name is not valid modified UTF-7 ("caf\xE9",
    // "&AGE-"): its decoded name would SELECT another folder or none, so its
    // messages can't be asked for.
    bool validName = true;
    // Some component of the target name is not the source's (INBOX in any
    // case counts as INBOX; another separator is no change).
    bool renamedByRules = false;
    // The target has a folder of this name: the one this folder got in an
    // earlier run (found by its identifier), or one of that name.
    bool onTarget = false;
    // When the target name the rules give this folder belongs to another
    // folder since an earlier run: that name, and the other folder's source
    // name. This folder then got another name.
    FolderName nameTaken;
    FolderName nameTakenBy;
    // The source lists this folder's identifier for other folders too: it
    // identifies none of them, and this folder's is made from its listed
    // name.
    bool idShared = false;
    // A target folder that has this folder's identifier but is not taken as
    // its own: its name is none this folder could be given, and it stands
    // for another folder (or this folder's own name is on the target too).
    FolderName idHeldBy;

    // True when the target name is not the source name with "/" between
    // its components: the report says so.
    bool renamed() const { return renamedByRules; }
};

class IFolderList {
public:
    virtual ~IFolderList() = default;

    // Replaces the list with the folders the source listed and the source's
    // hierarchy separator ('\0' for a source without hierarchy), named for
    // a target that holds the folders `onTarget` (with their identifiers):
    // a folder whose identifier the target holds keeps that folder and its
    // name where nothing says it is another folder's, and no other folder
    // is given that name.
    virtual void build(const std::vector<tavir::mail::FolderInfo>& listed, char separator,
        const std::vector<tavir::mail::FolderInfo>& onTarget)
        = 0;
    virtual std::size_t size() const = 0;

    // Every folder that is not skipped, parents before children. INBOX is
    // among them when listed: the target's mailbox has it already.
    virtual std::vector<MigrationFolder> foldersToCreate() const = 0;
    // The selectable folders that are not skipped, in the same order.
    virtual std::vector<MigrationFolder> foldersToCopy() const = 0;
    // Selectable folders that can't be copied because their listed name is
    // not valid: each is a folder error of the account.
    virtual std::vector<MigrationFolder> unreadableFolders() const = 0;
    // The skipped folders, in the same order.
    virtual std::vector<MigrationFolder> skippedFolders() const = 0;

    // Null when there is no such folder. The pointer stays valid until the
    // next build.
    virtual const MigrationFolder* findById(const tavir::mailserver::common::KUuid& id) const = 0;
    virtual const MigrationFolder* findByListedName(const std::string& listedName) const = 0;
    virtual const MigrationFolder* findByTargetName(const std::wstring& targetName) const = 0;
};

std::shared_ptr<IFolderList> createFolderList(FolderStore store);

// Selectable folders listed by valid names that differ only in the letter
// case of INBOX as their first component ("INBOX/Sub" and "Inbox/Sub"):
// groups of two or more indexes into `listed`, a name spelled "INBOX"
// first, then by name. INBOX is one name in any letter case (RFC 3501 5.1),
// but what lies below it is the server's own: whether two such names open
// one folder, only the server can say. The list takes them for two folders
// unless they are listed by one name.
std::vector<std::vector<std::size_t>> namesBelowInboxSpellings(
    const std::vector<tavir::mail::FolderInfo>& listed, char separator);

// The names a listing leaves out that may still be folders of the account,
// to be asked for by SELECT (modified UTF-7, each once): INBOX when no
// spelling of it is listed (every account has one, RFC 3501 5.1, yet some
// servers with a folder prefix list only what lies below it), then, in the
// order of the listing, every parent of a listed name that is not listed
// itself (a server need not list a parent, which may still hold mail). The
// parents of a malformed name, of one with an empty component and of one
// below a shared view are not asked for. The list completes the parents
// that the source does not open as folders without messages.
std::vector<std::string> namesNotListed(
    const std::vector<tavir::mail::FolderInfo>& listed, char separator);

} // namespace tavir::migration
