#pragma once
// What failed on the way of a message from the source server to the target
// server: one value that says the code, the server whose failure it was,
// whether that server did not answer in time, and why. The copy, the
// comparison of a folder with its copy and the folder's copy all hand it
// on as it is, so that nobody has to find out afterwards which connection
// failed.
#include "imapclient/ImapException.h"

#include <cstdint>
#include <string>

namespace tavir::mail {

// The server a message comes from, or the one it goes to.
enum class Side : std::uint8_t { Source, Target };

struct Failure {
    // ImapSuccess while nothing failed.
    ImapClientResult code = ImapSuccess;
    Side side = Side::Source;
    // The server did not answer (or take its bytes) in time.
    bool timedOut = false;
    // The server's own line when it answered, else one sentence saying what
    // failed and where (UTF-8).
    std::string why;

    bool failed() const { return code != ImapSuccess; }
};

} // namespace tavir::mail
