#pragma once
// The message source of an APPEND: the command reads the body from it part
// by part while it builds the command.
#include "crypto/KUuid.h"

#include <cstdint>
#include <string>

namespace tavir::mail::simpleimapclient {

class IMessage {
public:
    virtual ~IMessage();

    // Sent with the message by X-APPEND when not null; the owner sets it.
    tavir::mailserver::common::KUuid guid;

    // The first part of the body into `part`; false when there is none.
    virtual bool getFirstDataPart(std::string& part) = 0;
    // The next part; false when there is none.
    virtual bool getNextDataPart(std::string& part) = 0;
    // The flags to send, without parentheses, separated by one blank.
    virtual std::string getFlags() = 0;
    // The internal date text to send.
    virtual std::string getDate() = 0;
    // The body size in bytes, announced as the APPEND literal length.
    virtual std::uint32_t getSize() = 0;
    // Bytes of the body not yet delivered.
    virtual std::uint32_t getRestSize();
    // Asks the source to deliver the body again; the base does nothing.
    virtual bool resend();
};

} // namespace tavir::mail::simpleimapclient
