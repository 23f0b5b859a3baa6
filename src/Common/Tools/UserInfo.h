#pragma once
// One account of the account list, its migration states and the changes
// between them that the engine allows.
#include "Common/Tools/MigrationRecords.h"

#include <cstdint>
#include <string>

namespace tavir::migration {

enum UserState : std::uint32_t {
    UserNotSelected = 0,
    UserToMigrate = 1,
    UserInProgress = 2,
    UserFailed = 3,
    UserFinished = 4,
};

// An account goes from UserNotSelected to UserToMigrate and back, from
// UserToMigrate on to UserInProgress, and leaves UserInProgress only as
// UserFailed or UserFinished; an ended account never starts again (each may
// also stay as it is).
bool isAllowedStateChange(UserState from, UserState to);

// What a worker writes while it migrates the account.
struct UserProgress {
    std::wstring folder; // the folder in progress
    std::uint32_t folderMessages = 0; // its message count
    std::uint32_t folderMessagesDone = 0;
    std::uint32_t folderMessageErrors = 0;
    std::uint32_t foldersDone = 0;
    std::uint32_t folderErrors = 0;
    std::uint32_t messagesDone = 0;
    std::uint32_t messageErrors = 0;
    // Left when the account stopped or failed: folders, and the messages
    // of the folders whose messages had been counted.
    std::uint32_t foldersNotReached = 0;
    std::uint32_t messagesNotReached = 0;
    // Of those folders, the ones whose messages were never counted.
    std::uint32_t foldersNotCounted = 0;
    // Found on the target already (a folder copied before), not copied again.
    std::uint32_t messagesAlreadyThere = 0;
    // The report's line on why the account failed.
    std::wstring failure;
    // A stop ended the account before its road did (it failed so).
    bool stopped = false;
    // Removed from the source by another session between their count and
    // their copy: gone, neither copied nor failed.
    std::uint32_t messagesRemoved = 0;
};

struct UserInfo {
    // The source login is mailbox@domain (or the bare mailbox).
    std::wstring mailbox;
    std::wstring domain;
    std::wstring fullName;
    std::wstring password;
    bool migrate = false;
    // The source account whose folders become the target's public folders.
    bool publicFolders = false;
    bool alreadyExists = false; // the account existed on the target
    UserState state = UserNotSelected;
    TestStatus testStatus = TestNotTested;
    // The report's line on why the credential test found the login refused.
    std::wstring testRefusal;
    // The report's line on why the credential test found that the source
    // could not take the login now (the login was neither accepted nor
    // refused).
    std::wstring testNotNow;
    UserProgress progress;

    std::wstring address() const { return mailbox + L"@" + domain; }
};

// The mailbox the wizard shows for the public-folders account.
inline const std::wstring publicFoldersMailbox = L"#public";

} // namespace tavir::migration
