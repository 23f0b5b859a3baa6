#include "utils/CharsetConverter.h"

#include "utils/StreamConverter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tavir::utils {

namespace {
const char kUtf7Units[] = "utf-16be"; // UTF-16, so that surrogate pairs survive
const char kIgnore[] = "//IGNORE";
constexpr size_t kPiece = 1024;
constexpr size_t kBuffer = 6144;
} // namespace

CharsetConverter::CharsetConverter(
    const char* from, const char* to, bool throwOnError, bool lenient)
    : lenient_(lenient)
    , utf7_(lenient, throwOnError)
{
    std::string source = from ? from : "";
    std::string target = to ? to : "";
    assimilateUtf7Imap(source, target);
    if (!iconv_.open(target.c_str(), source.c_str()) && throwOnError) {
        char text[256];
        std::snprintf(text, sizeof text,
            "CharsetConverter: failed to initialize string conversion from \"%s\" encoding to "
            "\"%s\" encoding",
            from ? from : "", to ? to : "");
        throw std::runtime_error(text);
    }
}

CharsetConverter::~CharsetConverter()
{
    iconv_.close();
}

void CharsetConverter::assimilateUtf7Imap(std::string& from, std::string& to)
{
    if (Utf7ImapConverter::isUtf7Imap(to)) {
        to = std::string(kUtf7Units) + kIgnore;
        toUtf7_ = true;
    } else {
        to += kIgnore;
    }
    if (Utf7ImapConverter::isUtf7Imap(from)) {
        from = kUtf7Units;
        fromUtf7_ = true;
    }
}

void CharsetConverter::encode(
    const char* data, size_t length, std::string& out, Utf7ImapConverter::utf7imap_table& state)
{
    if (toUtf7_)
        utf7_.convertToUtf7Imap(data, length, out, state);
    else
        out.append(data, length);
}

bool CharsetConverter::convert(const std::string& input, std::string& out)
{
    if (!isOpen())
        return false;
    out.clear();
    out.reserve(2 * input.size());
    if (input.empty())
        return true;
    irreversible_ = 0;

    std::string decoded;
    const std::string* in = &input;
    if (fromUtf7_) {
        std::string copy = input;
        Utf7ImapConverter::utf7imap_table decodeState;
        irreversible_ += utf7_.fromUtf7Imap(copy, decoded, decodeState, true);
        in = &decoded;
    }

    Utf7ImapConverter::utf7imap_table state;
    std::string buffer(kBuffer, '\0');
    bool result = true;
    size_t position = 0;
    while (position < in->size()) {
        const size_t left = in->size() - position;
        const size_t pieceLength = std::min(left, kPiece);
        const bool lastPiece = left <= kPiece;
        const char* src = in->data() + position;
        size_t srcLeft = pieceLength;
        char* dst = &buffer[0];
        size_t dstLeft = buffer.size();
        const size_t r = iconv_.vxiconv(&src, &srcLeft, &dst, &dstLeft);
        const int error = r == static_cast<size_t>(-1) ? errno : 0;
        const size_t produced = buffer.size() - dstLeft;
        const size_t consumed = pieceLength - srcLeft;
        encode(buffer.data(), produced, out, state);
        // Bytes of this piece that were not consumed lead the next piece.
        position += consumed;
        const bool progressed = consumed > 0 || produced > 0;
        if (error == 0) {
            irreversible_ += r;
        } else if (error == EILSEQ) {
            // Skipped input: keep going with the rest, so that one bad
            // character costs only itself; the result reports it.
            ++irreversible_;
            result = lenient_;
            if (!progressed)
                break;
        } else if (error == EINVAL) {
            // An incomplete sequence: at the end of the input (or longer
            // than any character, so broken) it is dropped; otherwise it is
            // completed by the next piece.
            if (srcLeft > 5 || lastPiece) {
                result = lenient_;
                break;
            }
        } else if (error == E2BIG) {
            if (!progressed) {
                result = false;
                break;
            }
        } else {
            result = false;
            break;
        }
    }

    // Even after a stop the shift state is flushed and an open base64 run
    // closed: the output must stay well-formed for what it holds.
    size_t flushLeft = buffer.size();
    const int flushError = flushIconv(&buffer[0], flushLeft, state);
    if (flushError != 0)
        result = false;
    else
        out.append(buffer.data(), buffer.size() - flushLeft);
    if (toUtf7_)
        Utf7ImapConverter::flushTable(state, out);
    return result;
}

int CharsetConverter::flushIconv(
    char* buffer, size_t& bufferLeft, Utf7ImapConverter::utf7imap_table& state)
{
    std::string raw(kBuffer, '\0');
    char* dst = &raw[0];
    size_t dstLeft = raw.size();
    const size_t r = iconv_.vxiconv(nullptr, nullptr, &dst, &dstLeft);
    if (r == static_cast<size_t>(-1)) {
        // EILSEQ here is a skip the library had not yet reported
        if (errno != EILSEQ)
            return errno;
        ++irreversible_;
    } else {
        irreversible_ += r;
    }
    raw.resize(raw.size() - dstLeft);
    std::string produced;
    encode(raw.data(), raw.size(), produced, state);
    if (produced.size() > bufferLeft)
        return E2BIG;
    std::memcpy(buffer, produced.data(), produced.size());
    bufferLeft -= produced.size();
    return 0;
}

bool CharsetConverter::convert(const char** in, size_t& inLeft, char** out, size_t& outLeft)
{
    if (!isOpen())
        return false;
    if (out && *out)
        std::memset(*out, 0, outLeft);
    if (inLeft == 0)
        return true;
    bool result = true;
    if (leftover_.empty())
        result = convert(std::string(*in, inLeft), leftover_);
    const size_t n = std::min(leftover_.size(), outLeft);
    if (out && *out && n > 0) {
        std::memcpy(*out, leftover_.data(), n);
        outLeft -= n;
        leftover_.erase(0, n);
    }
    if (leftover_.empty()) {
        *in += inLeft;
        inLeft = 0;
    }
    return result;
}

void CharsetConverter::reset()
{
    leftover_.clear();
    irreversible_ = 0;
}

bool charsetRecode(const std::string& from, const std::string& to, const std::string& in,
    std::string& out, bool lenient)
{
    CharsetConverter converter(from.c_str(), to.c_str(), false, lenient);
    if (!converter.isOpen())
        return false;
    return converter.convert(in, out);
}

bool charsetRecodeReversible(
    const std::string& from, const std::string& to, const std::string& in, std::string& out)
{
    CharsetConverter converter(from.c_str(), to.c_str(), false, false);
    return converter.convert(in, out) && converter.irreversible() == 0;
}

bool convertCharset(
    const std::string& from, const std::string& to, const std::string& in, std::string& out)
{
    return charsetRecodeReversible(from, to, in, out);
}

bool charsetRecodeWithRemap(const std::string& from, const std::string& to, const std::string& in,
    std::string& out, bool lenient)
{
    std::string source;
    remapCharset(source, from);
    CharsetConverter converter(source.c_str(), to.c_str(), false, lenient);
    return converter.convert(in, out) && converter.irreversible() == 0;
}

} // namespace tavir::utils
