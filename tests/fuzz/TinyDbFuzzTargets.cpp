#include "TinyDbFuzzTargets.h"

#include "tinydb/TinyDb.h"
#include "tinydb/Wire.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace tavir::fuzz {

using namespace tavir::tinydb;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// What every decoded result must be: rows as wide as the columns, values
// NULL or of their column's type, texts UTF-8.
void checkResult(const ResultSet& result)
{
    for (const auto& column : result.columns)
        check(isUtf8(column.name) && (column.type == Value::Integer || column.type == Value::Text));
    for (const auto& row : result.rows) {
        check(row.size() == result.columns.size());
        for (std::size_t c = 0; c < row.size(); ++c) {
            check(row[c].kind == Value::Null || row[c].kind == result.columns[c].type);
            check(isUtf8(row[c].text));
        }
    }
}

void decodeAs(std::uint8_t type, const std::string& payload)
{
    try {
        switch (static_cast<MessageType>(type)) {
        case MessageType::Welcome:
            check(isUtf8(decodeWelcome(payload).productVersion));
            break;
        case MessageType::LoggedIn:
            decodeLoggedIn(payload);
            break;
        case MessageType::Result:
            checkResult(decodeResult(payload));
            break;
        case MessageType::Error:
            check(isUtf8(decodeError(payload).sentence));
            break;
        default:
            break;
        }
    } catch (const WireError&) {
    }
}

// The server side of the fuzzed connection: a fixed welcome and login, then
// the input, then a close.
class InputStream : public TinyDbStream {
public:
    explicit InputStream(std::string bytes)
        : bytes_(std::move(bytes))
    {
    }
    bool connect(std::string&) override { return true; }
    std::string peerFingerprint() override { return "00"; }
    ReadEnd read(char* data, std::size_t n) override
    {
        std::size_t got = std::min(n, bytes_.size() - pos_);
        std::copy_n(bytes_.data() + pos_, got, data);
        pos_ += got;
        return got == n ? ReadEnd::Complete : ReadEnd::Closed;
    }
    bool write(const std::string&) override { return true; }
    void close() override { }

private:
    std::string bytes_;
    std::size_t pos_ = 0;
};

} // namespace

int tinydbDecoder(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::uint8_t type : {0x81, 0x82, 0x83, 0x84})
        decodeAs(type, input);
    std::size_t pos = 0;
    while (input.size() - pos >= frameHeaderSize) {
        std::uint32_t length;
        try {
            length = frameLength(input.data() + pos);
        } catch (const WireError&) {
            break;
        }
        pos += frameHeaderSize;
        if (input.size() - pos < length)
            break;
        decodeAs(static_cast<std::uint8_t>(input[pos]), input.substr(pos + 1, length - 1));
        pos += length;
    }
    return 0;
}

int tinydbSession(const std::uint8_t* data, std::size_t size)
{
    // WELCOME protocol 1 "7.0.0", then LOGGEDIN full.
    static const std::string greeting("\x00\x00\x00\x0c\x81\x00\x01\x00\x00\x00\x05"
                                      "7.0.0"
                                      "\x00\x00\x00\x02\x82\x00",
        22);
    std::string server = greeting + std::string(reinterpret_cast<const char*>(data), size);
    TinyDbOptions options;
    options.host = "fuzz";
    options.pin = false;
    options.factory
        = [&server](const TinyDbEndpoint&) { return std::make_unique<InputStream>(server); };
    tinydb_handle* handle = nullptr;
    check(tinydb_open(options, &handle) == Status::Ok);
    check(tinydb_authenticate(handle, "admin", "pw") == Status::Ok);
    for (int statement = 0; statement < 64 && tinydb_is_usable(handle); ++statement) {
        ResultSet result;
        Status status = tinydb_execute(handle, "SELECT Version FROM Info", result);
        if (status == Status::Ok)
            checkResult(result);
        else
            check(!tinydb_error(handle).empty());
        check(status == Status::Ok || status == Status::ServerError || !tinydb_is_usable(handle));
    }
    tinydb_close(handle);
    return 0;
}

} // namespace tavir::fuzz
