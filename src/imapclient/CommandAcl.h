#pragma once
// The commands that read and change a folder's access control list.
//
// The entry forms of SETACL and DELETEACL write the caller's entry text as it
// stands, so that one text can carry an identifier and its rights as two
// words. Such a text is only sent raw when it is one plain line that cannot
// end the command or announce a literal (isRawEntryText); anything else goes
// as one string token, so no caller's text can ever start a second command.
// Words in UTF-8 that are not 7-bit can't be atoms and go as literals.
#include "imapclient/Acl.h"
#include "imapclient/Command.h"

#include <string>
#include <vector>

namespace tavir::mail {

// True when `text` may be written unquoted into a command line: no CR, LF
// or NUL, and no literal announcement ("{n}" or "{n+}") at its end.
bool isRawEntryText(const std::string& text);
// How an entry text is written: unchanged when it is raw entry text, except
// that a blank-separated word holding 8-bit bytes (and no double quote) goes
// as a literal; any other text as one string token.
std::string entryWireForm(const std::string& entry);

class CommandSetAcl : public Command {
public:
    CommandSetAcl(ConnectionInternal& connection, const std::string& folder,
        const std::string& identifier, const std::string& rights);
    // `entry`: the identifier, a blank and the rights, written unquoted.
    CommandSetAcl(
        ConnectionInternal& connection, const std::string& folder, const std::string& entry);
};

class CommandDeleteAcl : public Command {
public:
    // The rights removed travel as a third argument after the identifier.
    CommandDeleteAcl(ConnectionInternal& connection, const std::string& folder,
        const std::string& identifier, const std::string& rights);
    // `entry`: the identifier, written unquoted.
    CommandDeleteAcl(
        ConnectionInternal& connection, const std::string& folder, const std::string& entry);
};

class CommandGetAcl : public Command {
public:
    CommandGetAcl(ConnectionInternal& connection, const std::string& folder);

    // After execute: one record per identifier and rights pair of every ACL
    // response, in the order received (a response may list several pairs,
    // or none for an empty list). Other responses are passed over; an ACL
    // response the parser can't read throws ImapParserException.
    void getAclInfo(std::vector<ACLInfo>& entries) const;
};

} // namespace tavir::mail
