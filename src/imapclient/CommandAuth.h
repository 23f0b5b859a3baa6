#pragma once
// The commands that carry the client's identity: AUTHENTICATE CRAM-MD5
// (RFC 2195), the target server's master authentication X-MASTERAUTH, the
// switch of a master login to one account (X-SETUSER) and account creation
// (X-CREATEUSER).
#include "imapclient/Command.h"

#include <string>
#include <vector>

namespace tavir::mail {

// Shared by the two challenge-response logins, which must answer a
// continuation before the tagged completion arrives and so run their own
// exchange instead of Command::execute.
class ChallengeCommand : public Command {
public:
    ChallengeCommand(ConnectionInternal& connection, const std::string& verb);

protected:
    // Sends the line, reads the continuation, sends answer(continuation)
    // with `behind` (whole command lines) in the same write, and reads up
    // to the tagged completion. `answer` returns false when the
    // continuation can't be answered: the exchange then ends as a refusal
    // (Command::NO) and the connection, which is in the middle of it, is
    // closed.
    template <class Answer>
    unsigned exchange(Answer answer, const std::string& behind = std::string());
};

class CommandAuthCramMD5 : public ChallengeCommand {
public:
    CommandAuthCramMD5(
        ConnectionInternal& connection, const std::string& user, const std::string& password);
    unsigned execute();
    std::string makeCramMD5Response(const std::string& challenge) const;

private:
    std::string password_;
    std::string user_;
};

class CommandXMasterAuth : public ChallengeCommand {
public:
    CommandXMasterAuth(ConnectionInternal& connection, const std::string& masterPassword);
    // `behind`: whole command lines written right behind the answer.
    unsigned execute(const std::string& behind = std::string());
    // The answer to a continuation: lower-case hex MD5 of the "<...>"
    // challenge followed by the master password. False when the text holds
    // no '<', or its first '>' stands before its first '<'.
    static bool makeAnswer(
        const std::string& continuation, const std::string& masterPassword, std::string& answer);

private:
    std::string masterPassword_;
};

class CommandXSetUser : public Command {
public:
    CommandXSetUser(ConnectionInternal& connection, const std::string& mailbox);
};

class CommandXCreateUser : public Command {
public:
    CommandXCreateUser(ConnectionInternal& connection, const std::string& name,
        const std::string& domain, const std::string& password, const std::string& fullName,
        const std::vector<std::string>& groups);
};

} // namespace tavir::mail
