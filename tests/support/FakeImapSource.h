#pragma once
// A scripted IMAP source server for the loopback server, for the copies,
// listings and migrations no real server produces on demand. It logs anyone
// in and serves folders of messages, by default one: INBOX. LIST names them
// with any separator (NIL too), names that begin with it or are nothing but
// it, any LIST flags (\NonExistent), and folder identifiers as the target's
// own kind lists them, shared or swapped at will; a folder may be left out
// of the listing and opened all the same. SELECT, EXAMINE and STATUS
// take a folder by exactly the name it lists (STATUS may be refused or
// count nothing); SELECT says EXISTS,
// UIDVALIDITY and UIDNEXT. FETCH and UID FETCH answer any message set
// ("1:3,5", "4:*", by UID "6:*": from UID 6 on, and the last message) with
// the items a migration asks for: the UID, the date and flags, the size,
// date and Message-ID a comparison asks for, the body whole or in pieces
// ("BODY.PEEK[]<0.1048576>"). One body can break off or stall half way
// (in every session, or in each account's first few; a session broken off
// may stay counted a little longer), an answer can report an EXPUNGE that
// did not happen (and end there),
// untagged replies can come before each body, replies can be written as
// some servers write them (the untagged lines and the tagged line in two
// sends, with Nagle's algorithm on), the answer with the bodies can
// trickle in as over a slow link, and a message can be described as
// servers that bend the rules describe it: a date in another form or none,
// a size that is not its body's, a body as a quoted string, a message's
// items split over replies (a date given again with the body), the body
// before the other items (or any order of its items, RFC822.SIZE added),
// a part of the body (BODY[]<0>) in place of the body, an EXPUNGE in the
// middle of the body FETCH's answer (which RFC 3501 forbids there), or one
// not announced there (NIL or nothing for that message, EXPUNGEISSUED on
// the tagged line), literals written as literal8, a summary without one of
// its items, no body in pieces. A folder may be listed by several names. A
// session serves one view of the folders, which its own EXPUNGE changes:
// another session may serve them with messages expunged (their UIDs left
// out). Every other command gets a tagged OK. It speaks plain IMAP, or TLS
// from the first byte as on port 993.
#include "support/Certificates.h"
#include "support/Loopback.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavir::test {

// One folder of the scripted source and its messages.
struct FakeFolder {
    std::string name = "INBOX"; // as listed (modified UTF-7), without quotes
    std::string listFlags = "\\HasNoChildren"; // the LIST flags inside the parentheses
    std::string guid; // listed as \Guid(...) to LIST (GUID); empty: none
    // Other names LIST gives for this folder, which SELECT and STATUS open
    // too (as "inbox" opens INBOX).
    std::vector<std::string> alsoListedAs;
    // False: LIST leaves the folder out, though SELECT and STATUS open it
    // (an INBOX that a server with a folder prefix does not list, a parent
    // it lists only the folders below of).
    bool listed = true;
    std::vector<std::string> bodies; // message n is bodies[n - 1]
    // The UID of message n is uids[n - 1]; n where the list is shorter.
    std::vector<std::uint32_t> uids;
    std::uint32_t uidValidity = 1;
    // Its last `arriveAfterSelect` messages arrive in each session once the
    // session's first SELECT of the folder has been answered: mail that
    // comes while a run looks at the folder.
    unsigned arriveAfterSelect = 0;

    // Where message n is sent otherwise than usual (each list is indexed
    // n - 1; a message beyond its end is sent as usual):
    // - its INTERNALDATE item's value as sent, quotes and all
    //   ("\"Tue, 05 May 2021 10:00:00 +0000\"", "NIL"); an empty text leaves
    //   the item out. As usual: FakeImapSource::dateOf(n), quoted.
    std::vector<std::string> dates;
    // - what its RFC822.SIZE says beyond its body's length (2, -2).
    std::vector<int> sizeErrors;
    // - its flag list. As usual: (\Answered).
    std::vector<std::string> flags;
    // - an INTERNALDATE given once more, in the reply with its body, where
    //   its date comes in a reply of its own (splitItems): the value as
    //   sent ("\"garbage\"", "NIL"); an empty text gives none.
    std::vector<std::string> bodyDates;

    // Each answer to a FETCH by number holds an EXPUNGE ("* 1 EXPUNGE")
    // after the replies of its first `expungeAfter` messages, and nothing
    // more; the folder keeps every message (UID FETCH still names them
    // all). The tagged answer follows, or, with `closeAfterExpunge`, the
    // session ends there.
    bool expungeInFetch = false;
    unsigned expungeAfter = 0;
    bool closeAfterExpunge = false;

    std::uint32_t uidOf(unsigned n) const;
    // The UID above every message's.
    std::uint32_t uidNext() const;
    // Takes message n out of the folder; the UIDs of the others stay.
    void expunge(unsigned n);
};

struct FakeImapSource {
    enum class Cut { None, Drop, Stall };

    std::string separator = "\"/\""; // as LIST writes it: "\".\"", NIL
    std::vector<FakeFolder> folders = {FakeFolder{}};

    unsigned broken = 0; // the message whose body is cut, in any folder
    Cut cut = Cut::None;
    int stallMs = 0; // how long a stalled body stalls
    // The body is cut in the first `cutsPerAccount` sessions of each
    // account (the name in its LOGIN) that send it; 0: in every one.
    unsigned cutsPerAccount = 0;
    std::string beforeBody; // untagged replies before each body
    bool splitReplies = false;
    // A slow link: the answer to a FETCH of bodies comes a piece at a time,
    // `trickleMs` apart: each message's reply a piece of its own
    // (ByReply), or the pieces cut in the middle of each reply (MidReply),
    // so that the end of one message comes with the start of the next, as
    // bytes that trickle in do.
    enum class Trickle { None, ByReply, MidReply };
    Trickle trickle = Trickle::None;
    int trickleMs = 150;
    std::string greeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+] fake source ready\r\n";
    // What the session does once it answered a LOGIN OK: serve on; end
    // with a BYE sent right behind the OK, as a server at a limit of its
    // own does; end with a BYE a little later (byeAfterMs), as a server
    // that logs an idle client out; or end at the next command,
    // unanswered, as a connection lost (reset, or closed while the command
    // was on its way).
    enum class AfterLogin { Serve, Bye, ByeLater, DropNext };
    AfterLogin afterLogin = AfterLogin::Serve;
    int byeAfterMs = 50;
    // Accounts (the name in a LOGIN) whose LOGIN is answered with a BYE
    // instead, the session then ended, as a server does at a limit of that
    // account's: the first n LOGINs of each, every one for 0, once each
    // account's first `byesAfter` LOGINs were served.
    std::map<std::string, unsigned> byeAt;
    unsigned byesAfter = 0;
    // Accounts (the name in a LOGIN) whose every LOGIN is answered so
    // instead, the session going on: the tagged answer from its status
    // word on ("NO [UNAVAILABLE] Temporary authentication failure").
    std::map<std::string, std::string> loginAnswers;
    // The source's connections turned away so far (connectionsAtMost).
    unsigned turnedAway() const;
    // Sessions served at once at most (0: any number), as a server that
    // caps the connections of one client address: one beyond is closed
    // before its greeting, or sent `beyondLimit` ("* BYE Too many
    // connections") and closed.
    unsigned connectionsAtMost = 0;
    std::string beyondLimit;
    // Implicit TLS over this context (null: plain IMAP). A connection
    // beyond connectionsAtMost without `beyondLimit` is closed before any
    // byte of the handshake, as Courier's TLS front end closes it;
    // `beyondLimit` is said through TLS.
    std::shared_ptr<const ServerTlsContext> tls;
    // A session that ended counts against connectionsAtMost this much
    // longer, as a server counts a connection until the process that
    // served it has ended.
    int countedAfterCloseMs = 0;
    // Every body (BODY[]) as a quoted string instead of a literal: bodies
    // then hold no line break, NUL or 8-bit byte.
    bool quotedBodies = false;
    // How STATUS is answered: with the folder's MESSAGES, refused (NO or
    // BAD), or with a reply that counts nothing (UIDNEXT only).
    enum class Status { Count, No, Bad, NoCount };
    Status status = Status::Count;
    // Where a body is asked for, FLAGS and INTERNALDATE come in a reply of
    // their own, before or after the one with the body.
    enum class Split { None, Before, After };
    Split splitItems = Split::None;
    // A folder's summary (RFC822.SIZE INTERNALDATE BODY[HEADER.FIELDS ...])
    // in two replies per message: the header first, then the rest.
    bool splitSummaries = false;
    // Every body named BODY[]<0> instead of BODY[].
    bool partialBodies = false;
    // Every literal of a FETCH reply written as a literal8 (~{n}, RFC 3516).
    bool literal8 = false;
    // A summary item left out of every reply: "RFC822.SIZE", or
    // "BODY.PEEK[HEADER.FIELDS" for the Message-ID field.
    std::string summaryWithout;
    // A body asked for in pieces (BODY.PEEK[]<0.n>) is not given.
    bool noPieces = false;
    // Every reply with a body gives it first, its other items after it
    // (FLAGS after BODY[] is a legal order).
    bool bodyFirst = false;
    // The items of every reply with a body, in this order, named as asked
    // ("UID", "INTERNALDATE", "FLAGS", "BODY.PEEK[]"), items not asked for
    // among them ("RFC822.SIZE", which some servers add); empty: the items
    // asked for, in their order.
    std::vector<std::string> bodyReplyItems;
    // The first body FETCH of a session expunges the message of this UID
    // (0: none) after this many of its replies, as another session would.
    std::uint32_t expungeUid = 0;
    unsigned expungeAfter = 0;
    // How that expunge reaches the session: announced by an EXPUNGE in the
    // FETCH's answer (which RFC 3501 forbids there; some servers send it
    // anyway), the rest numbered anew; or, as RFC 3501 asks, not announced
    // during the FETCH: the message keeps its number in the session, each
    // FETCH by number that names it gives NIL for its body (`Nil`, as
    // Dovecot does) or nothing for it (`Nothing`) and ends with
    // EXPUNGEISSUED (RFC 5530) on its tagged line (OK, or NO), until a UID
    // FETCH or a SELECT announces the expunge.
    enum class Expunge { Announced, Nil, Nothing };
    Expunge expungeSaid = Expunge::Announced;

    // The first folder: a source of one folder serves its INBOX.
    FakeFolder& inbox() { return folders.front(); }
    const FakeFolder& inbox() const { return folders.front(); }

    // The date of message n: "0n-Jan-2020 10:00:00 +0000" for n up to 28.
    static std::string dateOf(unsigned n);
    // Serves each connection of a loopback server. This source and its
    // copies share what is counted across sessions (the sessions open, the
    // LOGINs of each account), as one server would: a server of its own is
    // a FakeImapSource made anew.
    LoopbackServer::Handler session() const;
    // The most sessions served at once so far.
    unsigned mostAtOnce() const;

private:
    struct Shared {
        std::mutex lock;
        unsigned open = 0;
        unsigned most = 0;
        unsigned turnedAway = 0;
        // When each session that ended stops counting, earliest first.
        std::deque<std::chrono::steady_clock::time_point> lingering;
        std::map<std::string, unsigned> logins;
        std::map<std::string, unsigned> cuts; // bodies cut, by account
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    // Whether the session may go on, within the connections' limit; it is
    // then counted in until leave().
    bool admit(PeerSocket& peer) const;
    void leave() const;
    // Whether `user`'s LOGIN is answered with a BYE.
    bool byeFor(const std::string& user) const;
    // Whether the broken message's body is cut in this session.
    bool cutsHere() const;
    void serve(PeerSocket& peer) const;
    // The session itself, on a view of the folders of its own.
    void serveView(PeerSocket& peer);
    FakeFolder* selectable(const std::string& name);
    // One send, or the untagged part and the tagged line in two; where the
    // answer trickles, the untagged part goes in pieces, with a pause before
    // each of `pauses` (offsets into it, ascending).
    bool reply(PeerSocket& peer, const std::string& untagged, const std::string& tagged,
        const std::vector<std::size_t>& pauses = {}) const;
    // Answers STATUS for `folder` (null: no such folder) as `status` says.
    bool statusOf(PeerSocket& peer, const std::string& tag, const FakeFolder* folder) const;
    // The untagged replies to a SELECT of `folder`.
    std::string selectReplies(const FakeFolder& folder) const;
    // Answers "FETCH set items" or "UID FETCH set items" (`words`, the tag
    // first) from the folder selected; false when the session ends.
    bool fetch(PeerSocket& peer, const std::vector<std::string>& words, FakeFolder* selected);
    std::string listing(bool withGuids) const;
    // A FETCH reply's literal of `bytes`, as this source writes literals.
    std::string literalOf(const std::string& bytes) const;
    // One item of message n's FETCH reply as sent; empty for an item not
    // served, or a date left out.
    std::string itemOf(const FakeFolder& folder, unsigned n, const std::string& item) const;
    // Message n's FETCH reply. When its body is the one cut, it ends half
    // way into the body and `cutHere` is set.
    std::string fetchReply(const FakeFolder& folder, unsigned n,
        const std::vector<std::string>& items, bool& cutHere) const;
    // Message n's reply while it is expunged unannounced: NIL for its body
    // (empty for Expunge::Nothing).
    std::string goneReply(
        const FakeFolder& folder, unsigned n, const std::vector<std::string>& items) const;
    // Announces the expunge not announced yet, if any: its EXPUNGE reply,
    // the message out of the folder.
    std::string announceExpunge(FakeFolder& folder);

    // The UID of the message expunged and not announced to the session.
    std::uint32_t unannounced_ = 0;
    // The session's account, once its LOGIN was answered OK.
    std::string loggedInAs_;
    // The session ended with a body dropped half way.
    bool dropped_ = false;
};

} // namespace tavir::test
