#pragma once
// A scripted IMAP source that holds folders of messages, for listings no
// real server gives on demand: any separator (NIL too), names that begin
// with it or are nothing but it, any LIST flags (\NonExistent), and folder
// identifiers as the target's own kind lists them, shared or swapped at
// will. It logs anyone in, lists its folders, selects and counts a folder
// by exactly the name it lists, and answers FETCH of any message set with
// the items a migration asks for (date, flags, size, Message-ID, the body
// whole or in pieces). Every other command gets a tagged OK.
#include "support/Loopback.h"

#include <string>
#include <vector>

namespace tavir::test {

struct FakeFolder {
    std::string name; // as listed (modified UTF-7), without quotes
    std::string flags; // the LIST flags inside the parentheses
    std::string guid; // listed as \Guid(...) to LIST (GUID); empty: none
    std::vector<std::string> bodies; // message n is bodies[n - 1]
};

struct FakeMailboxSource {
    std::string separator = "\"/\""; // as LIST writes it: "\".\"", NIL
    std::vector<FakeFolder> folders;

    // Message n of every folder has FakeImapSource::dateOf(n) and the flag
    // \Seen.
    LoopbackServer::Handler session() const;
};

} // namespace tavir::test
