#pragma once
// A scripted IMAP source server for the loopback server, for the copies no
// real server produces on demand. It logs anyone in, selects a folder of
// `bodies` (EXISTS, UIDVALIDITY and UIDNEXT said), and answers FETCH of a
// message set for UID, INTERNALDATE, FLAGS and BODY.PEEK[] from the list of
// bodies, and UID FETCH n:* (UID); one body can break off or stall half
// way, untagged replies can come before each body, and replies can be
// written as some servers write them: the untagged lines and the tagged
// line in two sends, with Nagle's algorithm on. Every other command gets a
// tagged OK. A session serves one view of the folder: another session may
// serve it with messages expunged (their UIDs left out).
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

    // The date of message n: "0n-Jan-2020 10:00:00 +0000" for n up to 28.
    static std::string dateOf(unsigned n);
    std::uint32_t uidOf(unsigned n) const;
    // Its flags are (\Answered).
    LoopbackServer::Handler session() const;
};

} // namespace tavir::test
