#pragma once
// Server messages of the tinydb protocol written byte by byte from the
// protocol description, for scripted servers and fuzz seeds. Independent of
// the client's own encoder (which never writes server messages anyway).
#include <cstdint>
#include <string>
#include <vector>

namespace tavir::test::tinydbwire {

inline std::string be(std::uint64_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

inline std::string text(const std::string& s)
{
    return be(s.size(), 4) + s;
}

inline std::string frame(std::uint8_t type, const std::string& payload)
{
    return be(payload.size() + 1, 4) + static_cast<char>(type) + payload;
}

inline std::string welcome(const std::string& version, std::uint16_t protocol = 1)
{
    return frame(0x81, be(protocol, 2) + text(version));
}

inline std::string loggedIn(std::uint8_t answer)
{
    return frame(0x82, std::string(1, static_cast<char>(answer)));
}

inline std::string error(std::uint16_t code, const std::string& sentence)
{
    return frame(0x84, be(code, 2) + text(sentence));
}

// Value encodings.
inline std::string null()
{
    return std::string(1, '\0');
}
inline std::string integer(std::int64_t v)
{
    return "\x01" + be(static_cast<std::uint64_t>(v), 8);
}
inline std::string str(const std::string& s)
{
    return "\x02" + text(s);
}

// A result payload: columns as (name, type 1 integer / 2 text), rows of
// already encoded values.
inline std::string resultPayload(const std::vector<std::pair<std::string, int>>& columns,
    const std::vector<std::vector<std::string>>& rows, std::int64_t changed = 0)
{
    std::string out = be(static_cast<std::uint64_t>(changed), 8) + be(columns.size(), 2);
    for (const auto& [name, type] : columns)
        out += text(name) + static_cast<char>(type);
    out += be(rows.size(), 4);
    for (const auto& row : rows) {
        out += be(row.size(), 2);
        for (const auto& value : row)
            out += value;
    }
    return out;
}

inline std::string result(const std::vector<std::pair<std::string, int>>& columns,
    const std::vector<std::vector<std::string>>& rows, std::int64_t changed = 0)
{
    return frame(0x83, resultPayload(columns, rows, changed));
}

// The answer of a statement that returns no rows.
inline std::string done(std::int64_t changed = 0)
{
    return result({}, {}, changed);
}

} // namespace tavir::test::tinydbwire
