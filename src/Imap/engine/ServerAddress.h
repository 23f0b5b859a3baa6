#pragma once
// A server as the wizard takes it: "host" or "host:port".
#include <string>

namespace tavir::migration {

struct ServerAddress {
    std::wstring host;
    unsigned port = 0;

    std::wstring text() const { return host + L":" + std::to_wstring(port); }
};

// Without a port, 143 (993 with ssl). False for an empty host or a port that
// is not a number from 1 to 65535. Blanks around the text are ignored.
bool parseServerAddress(const std::wstring& text, bool ssl, ServerAddress& out);

// "The <role> server "<text>" is not a host name with an optional port",
// without an end: callers add their full stop or consequence.
std::wstring notAnAddress(const wchar_t* role, const std::wstring& text);

// The report's sentence for a source account that could log in neither with
// its address nor with its mailbox name, with the server's answer to each.
std::wstring sourceLoginRefused(const std::wstring& server, const std::wstring& address,
    const std::wstring& asAddress, const std::wstring& mailbox, const std::wstring& asMailbox);

} // namespace tavir::migration
