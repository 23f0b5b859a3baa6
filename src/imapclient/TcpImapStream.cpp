#include "imapclient/ImapStream.h"

namespace tavir::mail {

ImapStream::~ImapStream() = default;

std::unique_ptr<ImapStream> makeTcpImapStream(const ImapEndpoint&)
{
    return nullptr;
}

} // namespace tavir::mail
