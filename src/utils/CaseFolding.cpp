// Unicode's simple case folding over the generated table of runs.
#include "utils/CaseFolding.h"

#include "utils/CaseFoldingTable.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace tavir::utils {

namespace {

std::uint32_t foldCode(std::uint32_t code)
{
    using folding::Run;
    const Run* run = std::lower_bound(std::begin(folding::runs), std::end(folding::runs), code,
        [](const Run& r, std::uint32_t value) { return r.last < value; });
    if (run == std::end(folding::runs) || code < run->first
        || (code - run->first) % run->stride != 0)
        return code;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(code) + run->delta);
}

// The length of the UTF-8 sequence that `lead` begins; 0 for a byte that
// begins none (a continuation byte, or one that only begins overlong or
// out-of-range sequences).
std::size_t sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;
    if (lead < 0xE0)
        return 2;
    if (lead < 0xF0)
        return 3;
    return lead < 0xF5 ? 4 : 0;
}

// The code point of the well-formed UTF-8 sequence at `at` and its length;
// length 0 where none begins there.
std::uint32_t decodeUtf8(const std::string& text, std::size_t at, std::size_t& length)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    length = sequenceLength(lead);
    if (length == 0 || at + length > text.size()) {
        length = 0;
        return 0;
    }
    static const unsigned char leadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::uint32_t code = lead & leadBits[length];
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            length = 0;
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        length = 0;
    return code;
}

void appendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    static const unsigned char leads[] = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(leads[tail] | (code >> (6 * tail)));
    for (int i = tail - 1; i >= 0; --i)
        out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
}

} // namespace

const char* caseFoldingVersion()
{
    return folding::unicodeVersion;
}

wchar_t foldCase(wchar_t c)
{
    return static_cast<wchar_t>(foldCode(static_cast<std::uint32_t>(c)));
}

std::wstring foldCase(std::wstring text)
{
    for (wchar_t& c : text)
        c = foldCase(c);
    return text;
}

std::string foldCaseUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 0;
        const std::uint32_t code = decodeUtf8(text, at, length);
        if (length == 0) {
            out += text[at++];
            continue;
        }
        const std::uint32_t folded = foldCode(code);
        if (folded == code)
            out.append(text, at, length);
        else
            appendUtf8(out, folded);
        at += length;
    }
    return out;
}

} // namespace tavir::utils
