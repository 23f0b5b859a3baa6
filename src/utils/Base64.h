#pragma once
// Base64 of RFC 4648 (standard alphabet, groups completed with '='): string
// and buffer forms, a resumable decoder, and a stream buffer that encodes on
// output and decodes on input.
#include <cstddef>
#include <iterator>
#include <streambuf>
#include <string>

namespace tavir::utils {

// "A"-"Z", "a"-"z", "0"-"9", "+", "/" (and a terminating NUL).
extern const char b64EncodeTable[65];
// Indexed by a character's low 7 bits: 0-63 for the alphabet, 64 for '=',
// 65 for anything else.
extern const unsigned char b64DecodeTable[128];

// The state of the resumable decoder.
struct Base64Stream {
    int ok = 1; // 0 once an invalid character was met
    int count = 0; // values collected for the current group
    unsigned char values[4] = {0, 0, 0, 0};
};

namespace detail {
inline bool b64IsBlank(unsigned char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Appends one character, then applies the line rule.
struct B64LineWriter {
    std::string& out;
    bool breakLines;
    unsigned lineLength;
    const char* lineEnd;
    unsigned count = 0;

    void put(char c)
    {
        out.push_back(c);
        if (breakLines && ++count >= lineLength) {
            out += lineEnd;
            count = 0;
        }
    }
};
} // namespace detail

// Encodes [begin, end) into `out`. With breakLines a line end ("\r\n" with
// crlf, else "\n") follows every lineLength characters (lineLength is taken as
// unsigned: 0 breaks before the first and after every character, a negative
// value never breaks). Always true.
template <class It>
bool encodeBase64(It begin, It end, std::string& out, bool breakLines, int lineLength, bool crlf)
{
    out.clear();
    const size_t length = static_cast<size_t>(std::distance(begin, end));
    const unsigned width = static_cast<unsigned>(lineLength);
    size_t chars = (length + 2) / 3 * 4;
    if (breakLines)
        chars += (chars / (width ? width : 1) + 2) * 2;
    out.reserve(chars);
    detail::B64LineWriter writer{out, breakLines, width, crlf ? "\r\n" : "\n"};
    if (breakLines && width == 0 && length > 0)
        out += writer.lineEnd;
    It it = begin;
    size_t left = length;
    for (; left >= 3; left -= 3) {
        unsigned char a = static_cast<unsigned char>(*it++);
        unsigned char b = static_cast<unsigned char>(*it++);
        unsigned char c = static_cast<unsigned char>(*it++);
        writer.put(b64EncodeTable[a >> 2]);
        writer.put(b64EncodeTable[((a & 3) << 4) | (b >> 4)]);
        writer.put(b64EncodeTable[((b & 15) << 2) | (c >> 6)]);
        writer.put(b64EncodeTable[c & 63]);
    }
    if (left > 0) {
        unsigned char a = static_cast<unsigned char>(*it++);
        unsigned char b = left == 2 ? static_cast<unsigned char>(*it++) : 0;
        writer.put(b64EncodeTable[a >> 2]);
        writer.put(b64EncodeTable[((a & 3) << 4) | (b >> 4)]);
        out.push_back(left == 2 ? b64EncodeTable[(b & 15) << 2] : '=');
        out.push_back('=');
    }
    return true;
}

bool encodeBase64(
    const std::string& in, std::string& out, bool breakLines, int lineLength, bool crlf);

// The common decoder: collects values from [in, inEnd) (a NUL also ends the
// input; blanks, tabs and line ends are skipped; other characters clear
// state.ok and are skipped) and writes whole groups to [out, outEnd) while
// each group fits with one byte to spare, then a NUL. Values of an incomplete
// group stay in `state`. Returns the number of bytes written (NUL excluded);
// `consumed`, when given, receives the number of input characters taken.
template <class InIt, class OutIt>
size_t decodeBase64Stream(
    Base64Stream& state, InIt in, InIt inEnd, OutIt out, OutIt outEnd, size_t* consumed)
{
    size_t taken = 0;
    size_t written = 0;
    if (consumed)
        *consumed = 0;
    if (!(out != outEnd))
        return 0;
    size_t room = static_cast<size_t>(std::distance(out, outEnd));
    for (;;) {
        while (in != inEnd && state.count < 4) {
            unsigned char c = static_cast<unsigned char>(*in);
            if (c == 0)
                break;
            ++in;
            ++taken;
            unsigned char value = b64DecodeTable[c & 0x7F];
            if (value <= 64)
                state.values[state.count++] = value;
            else if (!detail::b64IsBlank(c))
                state.ok = 0;
        }
        if (state.count < 4)
            break;
        const unsigned a = state.values[0], b = state.values[1], c = state.values[2],
                       d = state.values[3];
        const size_t bytes = c == 64 ? 1 : d == 64 ? 2 : 3;
        if (room - written < bytes + 1)
            break;
        *out++ = static_cast<char>(a * 4 + b / 16);
        if (bytes > 1)
            *out++ = static_cast<char>((b & 15) * 16 + c / 4);
        if (bytes > 2)
            *out++ = static_cast<char>((c & 3) * 64 + d);
        written += bytes;
        state.count = 0;
    }
    *out = '\0';
    if (consumed)
        *consumed = taken;
    return written;
}

// Decodes [begin, end) into `out`; false iff an invalid character was met
// (it is skipped and the rest decoded). An incomplete last group is dropped.
template <class It> bool decodeBase64(It begin, It end, std::string& out)
{
    out.clear();
    const size_t length = static_cast<size_t>(std::distance(begin, end));
    out.resize(length / 4 * 3 + 1);
    Base64Stream state;
    size_t written = decodeBase64Stream(state, begin, end, out.begin(), out.end(), nullptr);
    out.resize(written);
    return state.ok != 0;
}

bool decodeBase64(const std::string& in, std::string& out);
bool decodeBase64(const char* in, std::string& out);

// With strict, the length must be a multiple of 4. True iff every byte is a
// letter, a digit, '+', '/' or '=' (no white space); an empty text is base64.
bool isBase64(const std::string& text, bool strict);
bool isBase64(const std::string& text);

// The number of bytes the NUL-terminated text decodes to, counting complete
// groups only; false when a character other than the alphabet, '=' or white
// space was met.
bool base64DecodedDataLength(const char* text, size_t& length);
bool base64DecodedDataLength(const std::string& text, size_t& length);

// Buffer forms, with lines of 76 characters ended by "\r\n". Output stops
// before a group that would not fit with its NUL; `consumed` (when given)
// receives the input bytes encoded. Returns the characters written.
size_t encodeBase64X64(
    const char* in, size_t inLength, char* out, size_t outSize, size_t* consumed);
int encodeBase64(const char* in, int inLength, char* out, int outSize, int* consumed);

// Decode the NUL-terminated `in` into `out` (in place into `in` when `out`
// is null, with the text's length as the size). Return the bytes written.
size_t decodeBase64X64(char* in, char* out, size_t outSize, size_t* consumed);
int decodeBase64(char* in, char* out, int outSize, int* consumed);

// The resumable decoder over a NUL-terminated input (null `out`: in place).
size_t decodeBase64Stream(
    Base64Stream* state, const char* in, char* out, size_t outSize, size_t* consumed);

// A stream buffer over a target buffer that encodes or decodes on the way.
class StreamCoderBuffer : public std::streambuf {
public:
    // lineLength below 1: no line breaks. lfOnly: lines end with "\n" alone.
    explicit StreamCoderBuffer(std::streambuf* target, int lineLength = 76, bool lfOnly = false);
    ~StreamCoderBuffer() override;

    // Writes whatever is still pending to the target.
    virtual void end() = 0;

    // Writes one character to the target under the line rule.
    void putchar(char c);

protected:
    std::streambuf* target_;
    int lineLength_;
    int lineCount_ = 0;
    bool lfOnly_;
    char getArea_[3];
    char putArea_[3];
};

class Base64StreamDecoderBuffer : public StreamCoderBuffer {
public:
    explicit Base64StreamDecoderBuffer(
        std::streambuf* target, int lineLength = 76, bool lfOnly = false);
    ~Base64StreamDecoderBuffer() override;

    void end() override;
    // The next alphabet value read from the target, or -1 at its end.
    int getValue();

protected:
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c) override;

private:
    void encodeGroup(size_t bytes);
};

} // namespace tavir::utils
