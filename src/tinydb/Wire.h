#pragma once
// The tinydb wire format (docs/tinydb-protocol.md): frame encoders and pure
// decoders over bytes. Every decoder either returns a whole, checked value or
// throws WireError with a sentence fragment saying what was wrong; no other
// exception leaves them. Nothing here touches a socket.
#include "tinydb/ResultSet.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tavir::tinydb {

constexpr unsigned adminPort = 44337;
constexpr std::uint16_t protocolVersion = 1;
// Configuration rows are short: 1 MiB holds thousands of them, and a frame
// announcing more is refused before anything is allocated for it.
constexpr std::uint32_t maxFrameSize = 1u << 20;
constexpr std::size_t frameHeaderSize = 4;

enum class MessageType : std::uint8_t {
    Hello = 0x01,
    Login = 0x02,
    Query = 0x03,
    Bye = 0x04,
    Welcome = 0x81,
    LoggedIn = 0x82,
    Result = 0x83,
    Error = 0x84,
};

enum class LoginAnswer : std::uint8_t { Full = 0, ReadOnly = 1, Refused = 2 };

// The server's error codes.
enum class ServerCode : std::uint16_t {
    Syntax = 1,
    Unknown = 2,
    ReadOnly = 3,
    Exists = 4,
    NotLoggedIn = 5,
    ProtocolVersion = 6,
    Malformed = 7,
    Service = 8,
    Internal = 9,
};

class WireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Welcome {
    std::uint16_t protocol = 0;
    std::string productVersion;
};

struct ServerError {
    std::uint16_t code = 0;
    std::string sentence;
};

// True for well-formed UTF-8: no overlong forms, surrogates, code points
// above U+10FFFF or cut sequences.
bool isUtf8(const std::string& text);

// The frame length announced by a 4-byte header (type and payload bytes);
// throws when it is 0 or above maxFrameSize.
std::uint32_t frameLength(const char* header);

// Whole frames, header included. Texts must be UTF-8 (not checked here).
std::string helloFrame(const std::string& clientName);
std::string loginFrame(const std::string& user, const std::string& password);
std::string queryFrame(const std::string& statement);
std::string byeFrame();

// Payload decoders: `payload` is a frame's bytes after its type byte.
Welcome decodeWelcome(const std::string& payload);
LoginAnswer decodeLoggedIn(const std::string& payload);
ResultSet decodeResult(const std::string& payload);
ServerError decodeError(const std::string& payload);

} // namespace tavir::tinydb
