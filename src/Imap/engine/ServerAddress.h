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

} // namespace tavir::migration
