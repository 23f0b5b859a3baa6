#pragma once
// A message being fetched from a source IMAP connection, as the message
// source of an APPEND on another connection: the date and the standard flags
// come from the source's FETCH reply, and the body is read from the source
// connection part by part while the APPEND is built.
#include "imapclient/ConnectionInternal.h"
#include "imapclient/Failure.h"
#include "imapclient/IMessage.h"

#include <cstdint>
#include <string>

namespace tavir::mail {

// The system flags carried over to the target. \Recent is not among them:
// only the server sets it, and APPEND refuses it as an argument.
extern const char* const StdImapFlag[5];

// The standard flags of a flag list (without its parentheses), in table
// order, spelled as in the table and separated by one blank. Whole flags
// only, in any letter case: "\Seen" inside a longer flag ("\Seenx") is
// another flag, and a message must not arrive marked read when it was not.
std::string removeNonStandartFlags(const std::string& flags);

class FetchMessage : public simpleimapclient::IMessage {
public:
    // What replies gave of a message besides its body.
    struct Items {
        std::string date;
        std::string flags; // the standard flags
        bool dateKnown = false; // given, readable or not
        bool dateReadable = false; // a date readInternalDate reads
        bool flagsKnown = false;
        bool keywords = false;
        std::uint32_t uid = 0;
    };

    FetchMessage();
    ~FetchMessage() override;

    bool getFirstDataPart(std::string& part) override;
    bool getNextDataPart(std::string& part) override;
    std::string getFlags() override { return flags_; }
    std::string getDate() override { return date_; }
    std::uint32_t getSize() override { return size_; }
    std::uint32_t getRestSize() override { return rest_; }
    // Never sends the fetch again: the source connection is in the middle
    // of the literal, so the new reply would arrive behind the rest of the
    // old one and its lines would be taken for body bytes. The copy ends as
    // a message source that failed instead.
    bool resend() override;

    // INTERNALDATE sets the date, FLAGS the flags, UID the UID (names in
    // any letter case); false for any other name, which changes nothing. A
    // date that can't be read (garbage, NIL) never replaces one that can:
    // the APPEND would carry the time of the copy in place of the source's.
    bool setData(const std::string& name, const std::string& value);
    bool setFlags(std::string value);
    // True when the flags last given held keywords, which are not copied.
    bool carriesKeywords() const { return keywords_; }
    Items items() const;
    // Takes from `other` what the replies read into this message did not
    // give: the date (or a date that can be read, where this one can't),
    // the flags, the UID.
    void addItems(const Items& other);
    // The name of a body item that gives part of the body from an origin
    // ("BODY[]<0>"), when the reply last loaded named one in place of
    // BODY[]; empty otherwise.
    const std::string& partialBody() const { return partialBody_; }
    void setPartialBody(const std::string& name) { partialBody_ = name; }
    // True when both the date and the flags were given since the last reset.
    bool dateAndFlagsKnown() const { return dateKnown_ && flagsKnown_; }
    // The message number of the FETCH reply the message was loaded from
    // (loadFetchResponse); 0 until one was read.
    std::uint32_t getNumber() const { return number_; }
    // The UID the reply gave (before the body, or after it once the body
    // was read); 0 while none did.
    std::uint32_t getUid() const { return uid_; }
    void setNumber(std::uint32_t number) { number_ = number; }
    // The start of a body fetch reply, as far as the body's announcement:
    // "* n FETCH (... BODY[] {size}" CR LF. Sets size and rest size.
    bool parseResponse(const std::string& line);
    // A literal announcement "{digits}" CR LF; sets size and rest size.
    bool setSize(std::string text);
    // The body given in the reply itself as a quoted string, which IMAP
    // allows (`BODY[] "text"`, `BODY[] ""`): `rest` is the reply from the
    // string on. The body is held whole, as if read ahead, and the items
    // after it are taken; nothing of the reply is left on the connection.
    // False for anything else (NIL, a literal), which changes nothing.
    bool takeQuotedBody(const std::string& rest);
    // The body given as NIL (`BODY[] NIL`), as servers answer for a message
    // another session expunged: `rest` is the reply from NIL on. The items
    // after it are taken, and bodyWithheld() says so; nothing is left on the
    // connection. False for anything else, which changes nothing.
    bool takeNilBody(const std::string& rest);
    // True when the reply last loaded named the body and gave NIL for it.
    bool bodyWithheld() const { return bodyWithheld_; }
    // Whether the reply last loaded (loadFetchResponse) answers for the
    // message's body: it names BODY[], or its items can't be read (an
    // answer that failed). A reply that names no body is news about the
    // message (another session changed its flags).
    bool answersForBody() const { return answersForBody_; }
    void setAnswersForBody(bool answers) { answersForBody_ = answers; }
    // The body's literal of `size` bytes is next on the source connection.
    void announceBody(std::uint32_t size);

    // Binds the source connection the body is read from. With a tag, the
    // reply is read up to that tagged completion once the body is in, so
    // nothing of it is left for the next command on the connection.
    void setSource(ConnectionInternal* source, const std::string& tag = std::string());
    ConnectionInternal* getSource() const { return source_; }
    // Empties number, date, flags and sizes for the next reply of a
    // pipelined fetch.
    void reset();
    // Reads the announced body and the rest of its reply now, into memory,
    // so that items that follow the literal (FLAGS, INTERNALDATE) are known
    // before the APPEND is made; its parts then come from memory. False when
    // the message can't be appended (sourceFailure says why): the source
    // failed (the connection is closed), or the rest of the reply has a
    // line over the line limit, which was read and dropped (the connection
    // is in step: isDrained).
    bool holdBody();
    // True once the literal and the rest of its reply were read.
    bool isDrained() const { return drained_; }
    // Bytes a part carries at most (dataPartSize unless told).
    void setPartSize(std::size_t bytes) { partSize_ = bytes; }
    // Why the body or the end of its reply could not be read from the
    // source (the source connection is then closed): the source's
    // ImapMessageLoadFailed, with whether it did not send in time; or why
    // the message can't be appended although its reply was read to its
    // end, the connection in step (ImapFetchFailed: a line over the limit
    // after the body, whose items are not known). A part read then throws
    // IMessageSourceFailedException, so that no APPEND completes it. Its
    // code is ImapSuccess while nothing failed.
    const Failure& sourceFailure() const { return failure_; }
    // Gives the source connection up when the reply was not read to its
    // end (a copy that stopped before or inside the body): whatever is
    // still coming can't be matched to a later command.
    void release();

private:
    // Reads the rest of the reply after the literal and takes the date and
    // the flags it carries; a line over the limit there is read and
    // dropped, and refuses the message (sourceFailure).
    void finishReply();
    void takeItemsAfterBody(std::string rest);
    // A message refused with its reply read to its end (sourceFailure)
    // gives no part: no APPEND may complete it.
    void throwIfRefused() const;
    // The source failed inside the reply: the failure is kept, the
    // connection closed.
    void abandon(const std::string& why, bool timedOut);

    std::string date_;
    std::string flags_;
    std::uint32_t size_ = 0;
    std::uint32_t rest_ = 0;
    std::uint32_t number_ = 0;
    std::uint32_t uid_ = 0;
    bool dateKnown_ = false;
    bool dateReadable_ = false;
    bool flagsKnown_ = false;
    bool keywords_ = false;
    bool answersForBody_ = false;
    bool bodyWithheld_ = false;
    std::string partialBody_;
    // The body, when it was read ahead (holdBody).
    std::string held_;
    bool holding_ = false;
    ConnectionInternal* source_ = nullptr;
    std::string tag_;
    bool announced_ = false;
    bool drained_ = false;
    std::size_t partSize_ = ConnectionInternal::dataPartSize;
    Failure failure_;
};

// "message 3 (UID 9)", or "message 3" while no UID is known.
std::string messageLabel(unsigned number, std::uint32_t uid);
// The sentence for a FETCH reply of `endpoint` that gives `name`, a part of
// the body from an origin ("BODY[]<0>"), for `message` ("message 3 (UID
// 9)"), where the whole body was asked for.
std::string partialBodyText(
    const std::string& endpoint, const std::string& message, const std::string& name);
// The sentence for a FETCH reply of `connection` for `message` with a line
// over the connection's line limit, before the body or after it.
std::string overLongReplyText(const ConnectionInternal& connection, const std::string& message);

// One reply of the pipelined copy into `message` (emptied first, then its
// number set as far as it could be read): true when the reply is an
// untagged FETCH that gives the body (BODY[]), as a literal left on the
// connection (the line ending with the announcement and CR LF) or as a
// quoted string in the reply; its items go to loadFetchResponseInsideInfo.
// `answersForBody` tells a reply that answers for a message's body (it
// names BODY[], or its items can't be read) from any other (EXISTS, or a
// FETCH that carries no body: news about a message). Never throws.
bool loadFetchResponse(const std::string& line, FetchMessage& message, bool& answersForBody);
// The items of such a reply after its opening parenthesis: name and value
// pairs in any order and number (UID, INTERNALDATE and FLAGS go to the
// message, any other item is passed over), up to BODY[], whose literal
// announcement (the rest of the text) gives the size, or whose quoted
// string is the body itself (takeQuotedBody). False when the body is not
// named or not given so, or the items can't be read; the message says
// which (answersForBody, and bodyWithheld for a body given as NIL, whose
// items after it are taken too). Never throws.
bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message);

} // namespace tavir::mail
