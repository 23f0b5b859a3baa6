// Encoders and decoders of tinydb frames: one reader walks a payload field by
// field, checking every count against the bytes that are really there, so a
// hostile frame can neither overrun the buffer nor make the client allocate
// more than the frame itself holds.
#include "tinydb/Wire.h"

#include "utils/StringUtils.h"

#include <cstring>

namespace tavir::tinydb {

namespace {

// The big-endian number in the first `bytes` (at most 8) bytes of `data`:
// those bytes at the low end of a 64-bit field in network order.
std::uint64_t bigEndian(const char* data, std::size_t bytes)
{
    unsigned char field[sizeof(std::uint64_t)] = {};
    std::memcpy(field + sizeof field - bytes, data, bytes);
    std::uint64_t network = 0;
    std::memcpy(&network, field, sizeof network);
    return tavir::utils::ntoh64(network);
}

class PayloadReader {
public:
    explicit PayloadReader(const std::string& payload)
        : data_(payload)
    {
    }

    std::uint64_t unsignedOf(std::size_t bytes, const char* what)
    {
        need(bytes, what);
        std::uint64_t value = bigEndian(data_.data() + pos_, bytes);
        pos_ += bytes;
        return value;
    }
    std::uint8_t u8(const char* what) { return static_cast<std::uint8_t>(unsignedOf(1, what)); }
    std::uint16_t u16(const char* what) { return static_cast<std::uint16_t>(unsignedOf(2, what)); }
    std::uint32_t u32(const char* what) { return static_cast<std::uint32_t>(unsignedOf(4, what)); }
    std::int64_t i64(const char* what) { return static_cast<std::int64_t>(unsignedOf(8, what)); }
    std::string text(const char* what)
    {
        auto count = static_cast<std::int32_t>(u32(what));
        if (count < 0)
            throw WireError(std::string("negative length of the ") + what);
        need(static_cast<std::size_t>(count), what);
        std::string value = data_.substr(pos_, static_cast<std::size_t>(count));
        pos_ += static_cast<std::size_t>(count);
        if (!isUtf8(value))
            throw WireError(std::string("the ") + what + " is not UTF-8");
        return value;
    }
    // A count of items of at least `itemSize` bytes each: more than the
    // frame can hold means the frame is cut or lying.
    std::size_t count(std::uint64_t announced, std::size_t itemSize, const char* what) const
    {
        if (announced > (data_.size() - pos_) / itemSize)
            throw WireError(std::string("the ") + what + " count exceeds the message");
        return static_cast<std::size_t>(announced);
    }
    void finish(const char* message) const
    {
        if (pos_ != data_.size())
            throw WireError(std::string("bytes left over at the end of the ") + message);
    }

private:
    void need(std::size_t bytes, const char* what) const
    {
        if (data_.size() - pos_ < bytes)
            throw WireError(std::string("the message ends inside the ") + what);
    }

    const std::string& data_;
    std::size_t pos_ = 0;
};

void putUnsigned(std::string& out, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t i = bytes; i-- > 0;)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void putText(std::string& out, const std::string& text)
{
    putUnsigned(out, text.size(), 4);
    out += text;
}

std::string frame(MessageType type, const std::string& payload)
{
    std::string out;
    out.reserve(frameHeaderSize + 1 + payload.size());
    putUnsigned(out, payload.size() + 1, 4);
    out += static_cast<char>(type);
    out += payload;
    return out;
}

Value::Kind columnType(std::uint8_t type)
{
    if (type != Value::Integer && type != Value::Text)
        throw WireError("unknown column type " + std::to_string(type));
    return static_cast<Value::Kind>(type);
}

Value readValue(PayloadReader& in, Value::Kind columnKind)
{
    std::uint8_t tag = in.u8("value tag");
    if (tag == Value::Null)
        return Value::null();
    if (tag != columnKind) {
        throw WireError(tag == Value::Integer || tag == Value::Text
                ? "a value of another type than its column"
                : "unknown value tag " + std::to_string(tag));
    }
    if (tag == Value::Integer)
        return Value::of(in.i64("integer value"));
    return Value::of(in.text("text value"));
}

} // namespace

bool isUtf8(const std::string& text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        unsigned char low = 0x80, high = 0xBF; // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0)
                low = 0xA0; // overlong
            if (c == 0xED)
                high = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0)
                low = 0x90; // overlong
            if (c == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        if (s[i + 1] < low || s[i + 1] > high)
            return false;
        for (std::size_t k = 2; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += extra + 1;
    }
    return true;
}

std::uint32_t frameLength(const char* header)
{
    auto length = static_cast<std::uint32_t>(bigEndian(header, frameHeaderSize));
    if (length == 0)
        throw WireError("a frame without a type");
    if (length > maxFrameSize) {
        throw WireError("a frame of " + std::to_string(length) + " bytes, above the limit of "
            + std::to_string(maxFrameSize));
    }
    return length;
}

std::string helloFrame(const std::string& clientName)
{
    std::string payload;
    putUnsigned(payload, protocolVersion, 2);
    putText(payload, clientName);
    return frame(MessageType::Hello, payload);
}

std::string loginFrame(const std::string& user, const std::string& password)
{
    std::string payload;
    putText(payload, user);
    putText(payload, password);
    return frame(MessageType::Login, payload);
}

std::string queryFrame(const std::string& statement)
{
    std::string payload;
    putText(payload, statement);
    return frame(MessageType::Query, payload);
}

std::string byeFrame()
{
    return frame(MessageType::Bye, {});
}

Welcome decodeWelcome(const std::string& payload)
{
    PayloadReader in(payload);
    Welcome welcome;
    welcome.protocol = in.u16("protocol version");
    welcome.productVersion = in.text("product version");
    in.finish("welcome");
    return welcome;
}

LoginAnswer decodeLoggedIn(const std::string& payload)
{
    PayloadReader in(payload);
    std::uint8_t answer = in.u8("login answer");
    in.finish("login answer");
    if (answer > static_cast<std::uint8_t>(LoginAnswer::Refused))
        throw WireError("unknown login answer " + std::to_string(answer));
    return static_cast<LoginAnswer>(answer);
}

ResultSet decodeResult(const std::string& payload)
{
    PayloadReader in(payload);
    ResultSet result;
    result.changed = in.i64("changed-row count");
    // A column takes at least 5 bytes (empty name and type), a row at least
    // 2 (its value count), a value at least 1 (its tag).
    std::size_t columns = in.count(in.u16("column count"), 5, "column");
    result.columns.reserve(columns);
    for (std::size_t c = 0; c < columns; ++c) {
        Column column;
        column.name = in.text("column name");
        column.type = columnType(in.u8("column type"));
        result.columns.push_back(std::move(column));
    }
    std::size_t rows = in.count(in.u32("row count"), 2, "row");
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint16_t values = in.u16("value count");
        if (values != columns) {
            throw WireError("a row of " + std::to_string(values) + " values in a result of "
                + std::to_string(columns) + " columns");
        }
        std::vector<Value> row;
        row.reserve(in.count(values, 1, "value"));
        for (std::size_t c = 0; c < columns; ++c)
            row.push_back(readValue(in, result.columns[c].type));
        result.rows.push_back(std::move(row));
    }
    in.finish("result");
    return result;
}

ServerError decodeError(const std::string& payload)
{
    PayloadReader in(payload);
    ServerError error;
    error.code = in.u16("error code");
    error.sentence = in.text("error sentence");
    in.finish("error");
    return error;
}

} // namespace tavir::tinydb
