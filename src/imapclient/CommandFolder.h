#pragma once
// The folder commands: LIST (into FolderInfo records), CREATE and the target
// server's X-CREATE with a folder type and identifier, DELETE, SELECT and
// STATUS (message count and, on the target server, the folder identifier).
// Folder names are IMAP modified UTF-7 on the way in and out.
#include "crypto/KUuid.h"
#include "imapclient/Command.h"

#include <string>
#include <vector>

namespace tavir::mail {

struct FolderInfo {
    std::string name; // as listed (modified UTF-7), quotes removed
    bool selectable = true; // false for \NoSelect and \NonExistent
    tavir::mailserver::common::KUuid guid; // from \Guid(...), else null
};

class CommandList : public Command {
public:
    CommandList(ConnectionInternal& connection, const std::string& reference,
        const std::string& pattern, bool withGuid);
    // Replaces `folders` with one record per LIST or LSUB response and sets
    // the delimiter from them (the last one wins); returns the count.
    int getList(std::vector<FolderInfo>& folders, char& delimiter, bool testNoSelect) const;

private:
    bool withGuid_;
};

class CommandCreate : public Command {
public:
    CommandCreate(ConnectionInternal& connection, const std::string& name, unsigned int folderType,
        const std::string& guid, bool xcreate);
};

class CommandDelete : public Command {
public:
    CommandDelete(ConnectionInternal& connection, const std::string& name, bool recursive);
};

class CommandSelect : public Command {
public:
    // Starts the connection's record of the selected folder afresh
    // (ConnectionInternal::forgetMailbox).
    CommandSelect(ConnectionInternal& connection, const std::string& folder);
};

class CommandStatus : public Command {
public:
    CommandStatus(ConnectionInternal& connection, const std::string& folder, bool withGuid);
    unsigned int getMessagesCount();
    tavir::mailserver::common::KUuid getFolderGuid();
    // True when a STATUS response carried a MESSAGES value (a reply without
    // one is no count at all, not an empty folder).
    bool hasMessagesCount();
    void parseResponse();
    void parseResponseValue(std::string text);

private:
    unsigned int count_ = 0;
    tavir::mailserver::common::KUuid guid_;
    bool parsed_ = false;
    bool haveCount_ = false;
};

} // namespace tavir::mail
