// Splitting "host:port".
#include "Imap/engine/ServerAddress.h"

#include "Imap/engine/Logger.h"
#include "imapclient/ConnectionInternal.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace tavir::migration {

bool parseServerAddress(const std::wstring& text, bool ssl, ServerAddress& out)
{
    using mail::ConnectionInternal;
    std::wstring server = boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(L" \t"));
    std::size_t colon = server.find(L':');
    unsigned port
        = ssl ? ConnectionInternal::defaultImapSSLPort : ConnectionInternal::defaultImapPort;
    if (colon != std::wstring::npos) {
        std::wstring digits = server.substr(colon + 1);
        if (digits.empty() || digits.size() > 5
            || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
            return false;
        port = static_cast<unsigned>(std::stoul(digits));
        if (port == 0 || port > 65535)
            return false;
        server.erase(colon);
    }
    if (server.empty())
        return false;
    out.host = server;
    out.port = port;
    return true;
}

std::wstring notAnAddress(const wchar_t* role, const std::wstring& text)
{
    return sentence(L"The %1% server \"%2%\" is not a host name with an optional port", role, text);
}

std::wstring sourceLoginRefused(const std::wstring& server, const std::wstring& address,
    const std::wstring& asAddress, const std::wstring& mailbox, const std::wstring& asMailbox)
{
    return sentence(L"The source server %1% refused the login of %2% (as %2%: %3%; as %4%: %5%).",
        server, address, asAddress, mailbox, asMailbox);
}

} // namespace tavir::migration
