#pragma once
// A scripted IMAP source server for the loopback server, for the copies and
// migrations no real server produces on demand. It logs anyone in, lists
// one folder, INBOX, which it selects, examines and counts, and answers
// FETCH of its messages: the date and flags, the body, both together for a
// message set ("1:3,5", "4:*"), the size, date and Message-ID a comparison
// asks for, and pieces of bodies ("BODY.PEEK[]<0.1048576>"). One body can
// break off or stall half way, untagged replies can come before each body,
// replies can be written as some servers write them (the untagged lines and
// the tagged line in two sends, with Nagle's algorithm on), and a message
// can be described as servers that bend the rules describe it: a date in
// another form or none, a size that is not its body's, a body as a quoted
// string. SELECT says EXISTS, UIDVALIDITY and UIDNEXT; FETCH gives UID
// when asked, and UID FETCH n:* (UID) the UIDs from n on. A session serves
// one view of the folder: another session may serve it with messages
// expunged (their UIDs left out). Every other command gets a tagged OK.
#include "support/Loopback.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavir::test {

struct FakeImapSource {
    enum class Cut { None, Drop, Stall };

    std::vector<std::string> bodies; // message n is bodies[n - 1]
    // The UID of message n is uids[n - 1]; n where the list is shorter.
    std::vector<std::uint32_t> uids;
    std::uint32_t uidValidity = 1;
    unsigned broken = 0; // the message whose body is cut
    Cut cut = Cut::None;
    int stallMs = 0; // how long a stalled body stalls
    std::string beforeBody; // untagged replies before each body
    bool splitReplies = false;
    std::string greeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+] fake source ready\r\n";

    // Where message n is sent otherwise than usual (each list is indexed
    // n - 1; a message beyond its end is sent as usual):
    // - its INTERNALDATE item's value as sent, quotes and all
    //   ("\"Tue, 05 May 2021 10:00:00 +0000\"", "NIL"); an empty text leaves
    //   the item out. As usual: dateOf(n), quoted.
    std::vector<std::string> dates;
    // - what its RFC822.SIZE says beyond its body's length (2, -2).
    std::vector<int> sizeErrors;
    // - its flag list. As usual: (\Answered).
    std::vector<std::string> flags;
    // Every body (BODY[]) as a quoted string instead of a literal: bodies
    // then hold no line break, NUL or 8-bit byte.
    bool quotedBodies = false;

    // The date of message n: "0n-Jan-2020 10:00:00 +0000" for n up to 28.
    static std::string dateOf(unsigned n);
    std::uint32_t uidOf(unsigned n) const;
    LoopbackServer::Handler session() const;

private:
    void serve(PeerSocket& peer) const;
    // The reply items of message n, as sent.
    std::string dateItem(unsigned n) const;
    std::string flagsOf(unsigned n) const;
    std::string bodyItem(unsigned n) const;
    std::string summaryOf(unsigned n) const;
    std::string uidItem(unsigned n) const;
    // "UID FETCH n:* (UID)": from UID n on, and the last message.
    std::string uidsFrom(std::uint32_t from) const;
};

} // namespace tavir::test
