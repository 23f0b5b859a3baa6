#pragma once
// The message commands: FETCH of a message's internal date and flags, the
// peeking FETCH of its whole body (left on the connection for streaming),
// APPEND and the target server's X-APPEND, UID STORE/ASTORE of annotations,
// and reading a UID out of a FETCH line.
#include "crypto/KUuid.h"
#include "imapclient/Annotation.h"
#include "imapclient/Command.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/ImapException.h"

#include <functional>
#include <string>

namespace tavir::mail {

class CommandFetch : public Command {
public:
    CommandFetch(ConnectionInternal& connection, unsigned int number, FetchMessage& message);
    // Passes the items of the FETCH reply of the message asked for (and of
    // no other message) to `message`; false when there is none.
    bool getDateAndFlags(FetchMessage& message) const;

private:
    unsigned int number_;
};

class CommandFetchBody : public Command {
public:
    // What execute() found.
    static constexpr unsigned BodyStarted = 0;
    static constexpr unsigned NoBody = 1;

    CommandFetchBody(ConnectionInternal& connection, unsigned int number, FetchMessage& message);
    // Sends the fetch and reads up to the start of the body: BodyStarted
    // when the FETCH reply of this message announced its BODY[] literal
    // (which is left on the connection for the message to read) or gave the
    // body as a quoted string (which the message then holds, the reply read
    // to its tagged completion), NoBody otherwise, in which case the whole
    // reply has been read up to its tagged completion. Unsolicited
    // responses before the body (EXISTS, RECENT, EXPUNGE, FETCH of other
    // messages or without the body) are passed over.
    unsigned execute();

private:
    // True when `reply` is this message's FETCH with its body quoted in it,
    // which the message now holds.
    bool takeQuotedBody(const std::string& reply);
    // The name of the part of this message's body (BODY[]<0>) that `reply`
    // gives in place of the body; empty for any other reply.
    std::string partialBodyName(const std::string& reply) const;

    FetchMessage* message_;
    unsigned int number_;
};

// The two steps of fetching one message on its own: ImapSuccess, or
// ImapFetchFailed when the server refused or did not send what was asked
// for (the connection's last error says why). The connection's failures
// throw. First FETCH n (INTERNALDATE FLAGS) into `message`:
ImapClientResult readDateAndFlags(
    ConnectionInternal& connection, unsigned number, FetchMessage& message);
// then the body fetch as far as the body's literal, which is left on the
// connection for `message` to read.
ImapClientResult startBody(ConnectionInternal& connection, unsigned number, FetchMessage& message);

// A FETCH whose untagged replies are handed over one at a time as they
// come, so that the replies for a whole folder are never held at once.
// `messages` names sequence numbers, or with `byUid` UIDs (UID FETCH).
class CommandFetchEach : public Command {
public:
    CommandFetchEach(ConnectionInternal& connection, const std::string& messages,
        const std::string& items, bool byUid = false);
    // Sends the FETCH, hands every untagged reply to `each` and returns the
    // completion status. A failure closes the connection: the rest of the
    // reply can't be told apart from a later command's.
    unsigned execute(const std::function<void(const std::string& reply)>& each);
};

class CommandAppend : public Command {
public:
    CommandAppend(ConnectionInternal& connection, const std::string& folder,
        const std::string& flags, const std::string& date, unsigned int size, bool xappend);
    CommandAppend(ConnectionInternal& connection, const std::string& folder,
        const std::string& flags, const std::string& date,
        const tavir::mailserver::common::KUuid& guid, unsigned int size, bool xappend);
    void params(const std::string& folder, const std::string& flags, const std::string& date);
    // The UID from the APPENDUID code of the tagged response, or 0.
    unsigned int getUid() const;

private:
    void announce(unsigned int size);
};

class CommandStore : public Command {
public:
    // `annotations` is the annotation text in wire form
    // ("ANNOTATION (...)"), as the annotation list writes it for STORE.
    CommandStore(ConnectionInternal& connection, unsigned int uid,
        const AnnotationList& annotations, bool astore);
    CommandStore(ConnectionInternal& connection, unsigned int uid, const std::string& annotations,
        bool astore);
    void params(unsigned int uid, unsigned int);
    static std::string getCommandStoreString(bool astore);
};

// The UID of an untagged FETCH (or AFETCH) line: "* n FETCH (...)" with a
// UID item among its pairs; 0 when there is none or it can't be read.
unsigned int extractUID(const std::string& line);
// The UID among the name and value pairs of a FETCH item list (without its
// parentheses), in any position; 0 when there is none.
unsigned int extractUIDInternal(const std::string& data);

} // namespace tavir::mail
