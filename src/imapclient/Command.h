#pragma once
// One tagged IMAP command and the engine that runs it: the line is built
// with the Synthesizer operations, sent over the connection (its literals
// pushed with LITERAL+ where the server allows it, else each after the
// server's continuation; an APPEND's message body follows the line), and
// every reply up to the one carrying this command's tag is collected through
// the connection's reply reader.
#include "imapclient/ConnectionInternal.h"
#include "imapclient/IMessage.h"
#include "imapclient/Parser.h"
#include "imapclient/ReplyReader.h"
#include "imapclient/Synthesizer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavir::mail {

class Command : public Synthesizer {
public:
    using Response = ReplyReader::Status;
    static constexpr Response OK = ReplyReader::OK;
    static constexpr Response NO = ReplyReader::NO;
    static constexpr Response BAD = ReplyReader::BAD;

    Command(ConnectionInternal& connection, const std::string& command);

    // Ends the line with CR LF, once.
    void completeCommandString()
    {
        if (!ended_)
            append("\r\n");
        ended_ = true;
    }
    const std::string& getCommandString() const { return get(); }
    const std::string& getTag() const { return tag_; }
    ConnectionInternal& connection() { return connection_; }

    // Runs the command; `message` is the body source of APPEND, else null.
    // Returns the completion status; every failure below that leaves as an
    // ImapException. A body of up to ConnectionInternal::wholeBodyLimit
    // bytes is collected before the first byte is written and leaves with
    // its line in one write; a larger one is streamed as the source
    // delivers it. A source that fails leaves nothing on the target
    // (IMessageSourceFailedException; a streamed body's connection is
    // closed, so its literal never completes). An APPEND whose command line
    // can't be written fails with IMessageLoadFailedException, one whose
    // body can't be written with IMessageAppendException; both close the
    // connection, and nothing of a body is ever written twice.
    unsigned execute(simpleimapclient::IMessage* message);
    // The first half of execute(message), for a caller that keeps several
    // commands in flight on one connection: writes the command with its
    // body and leaves the answer on the connection. Without `flush` the end
    // may still wait in the connection's send area (the caller flushes).
    // False when the server ended the command instead of asking for its
    // literal (its tagged reply is then the command's). Failures as
    // execute's.
    bool send(simpleimapclient::IMessage& message, bool flush);
    // The same for a command without a message, whose answer the caller
    // reads with finish() once it has sent what follows: the line is
    // written (each literal after the server's continuation where it must
    // wait for one) and the answer left on the connection. Without `flush`
    // the line may still wait in the connection's send area. False when the
    // server ended the command while a literal waited (its tagged reply is
    // then the command's).
    bool send(bool flush);
    // Reads this command's replies up to its tagged one; returns its status.
    unsigned finish();
    // The whole line, ended, for a caller that writes it itself behind
    // another command's last step, before that command is answered (and
    // reads its answer with finish()); empty when the line holds a literal,
    // which may have to wait for the server's continuation.
    std::string lineToWriteBehind();
    // Takes the tagged reply that ends the command; returns its status.
    unsigned complete(const ReplyReader::Reply& tagged);
    // The status of the tagged reply taken; BAD before one was.
    unsigned status() const { return status_; }

    // Whether a broken connection may be re-established (with the session
    // restored) and the command line written again. Commands run while a
    // connection is being set up turn it off.
    void setReconnect(bool reconnect) { reconnect_ = reconnect; }
    // The command names messages of the selected folder by their sequence
    // numbers: it is not written while their numbering is in doubt
    // (ConnectionInternal::renumbered).
    void setNumbered() { numbered_ = true; }

    // True when the response carries this command's tag; its status word
    // (OK, NO or BAD, in any letter case) then sets `status`, which is left
    // as it was when no status word follows.
    bool isTaggedResponse(const std::string& response, unsigned& status) const;
    // False when the line (ending in LF) announces a literal, which is
    // exactly "{" digits "}" or "{" digits "+}" before its CR LF; the
    // literal size is then stored (numbers above 32 bits give 0xFFFFFFFF).
    static bool isWholeResponse(const std::string& line, unsigned& literalSize);
    static void removeEOL(std::string& text);

    // True when every line break of `line` either ends it or ends a LITERAL+
    // announcement whose bytes follow, and no NUL stands outside a literal:
    // the text is then exactly one command. `open` allows the text to end
    // with an announcement whose bytes are still to come.
    static bool isSingleCommand(const std::string& line, bool open, std::uint64_t* openLiteral);

    void getResponse(std::string& tagged, std::vector<std::string>& untagged) const;
    std::string getTaggedResponse() const { return tagged_; }
    const std::vector<std::string>& getUntaggedResponses() const { return untagged_; }

    // Parses the untagged responses and keeps those of the given type.
    // Responses of other types, and responses the parser does not know,
    // are passed over; a malformed response of the wanted type throws
    // ImapParserException. Returns the number of results appended.
    unsigned filterResponses(std::vector<ResponseResult>& results, std::uint32_t type) const;

protected:
    // Writes a command line (ending in CR LF, or in the announcement of a
    // body that follows) with `reconnect` allowed before its first byte.
    // Each literal in it goes without waiting where the server allows that,
    // else after the server's continuation: false when the server ended the
    // command instead (its tagged reply is then the command's). The line of
    // a body that can't be written fails as IMessageLoadFailedException.
    // Without `flush` the line's end may wait in the send area.
    bool sendLine(const std::string& line, bool reconnect, ReplyReader& reader,
        bool bodyFollows = false, bool flush = true);

    std::string tagged_;
    std::vector<std::string> untagged_;

private:
    // Runs `work`; a failure of our own below it (no memory, say) closes
    // the connection and leaves as ImapConnectionFailed.
    template <class Work> auto closingOnOwnFailure(Work work) -> decltype(work());
    unsigned run(simpleimapclient::IMessage* message);
    bool sendCommand(bool flush);
    // Ends the line and refuses one that is not exactly one command.
    void completeSingleLine();
    bool sendMessage(simpleimapclient::IMessage& message, ReplyReader& reader);
    // The size the line announces for its body, checked against the limit.
    std::uint64_t announcedSize();
    // The message's next part; a failure of its source leaves as
    // IMessageSourceFailedException.
    static bool nextPart(simpleimapclient::IMessage& message, std::string& part, bool first);
    static void checkDelivered(
        simpleimapclient::IMessage& message, std::uint64_t total, std::uint64_t announced);
    // Collects the whole body into the connection's message parts; returns
    // how many it took.
    std::size_t collectBody(simpleimapclient::IMessage& message, std::uint64_t announced);
    // Writes the first `parts` message parts and the literal's end, flushed.
    void sendBody(std::size_t parts);
    void streamBody(simpleimapclient::IMessage& message, std::uint64_t announced);

    std::string tag_;
    std::string command_;
    ConnectionInternal& connection_;
    bool reconnect_ = true;
    bool numbered_ = false;
    bool ended_ = false;
    bool flushBody_ = true;
    unsigned status_ = BAD;
};

} // namespace tavir::mail
