#pragma once
// The bodies of the IMAP client's fuzz targets, shared by the libFuzzer
// programs and by the replay of the saved corpus in the ordinary test run.
// Each returns normally for every input; anything else (a crash, a
// sanitizer report, an exception that is not an ImapException) is a fault.
#include <cstddef>
#include <cstdint>

namespace tavir::fuzz {

// One response text through the parser and the lexer, and the readers of
// FETCH replies.
int imapParser(const std::uint8_t* data, std::size_t size);
// The input as everything a server says after the greeting, read by a
// logged-in connection running commands and reading their responses.
int imapResponse(const std::uint8_t* data, std::size_t size);
// The input (split at its first NUL into two texts) as string parameters of
// a command line: the line must be exactly one command, and reading it back
// must give the texts unchanged.
int imapQuote(const std::uint8_t* data, std::size_t size);

} // namespace tavir::fuzz
