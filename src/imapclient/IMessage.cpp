#include "imapclient/IMessage.h"

namespace tavir::mail::simpleimapclient {

IMessage::~IMessage() = default;

std::uint32_t IMessage::getRestSize()
{
    return 0;
}

bool IMessage::resend()
{
    return false;
}

} // namespace tavir::mail::simpleimapclient
