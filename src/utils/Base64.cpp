#include "utils/Base64.h"

#include <cstring>

namespace tavir::utils {

const char b64EncodeTable[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {
struct DecodeTableBuilder {
    unsigned char table[128];
    constexpr DecodeTableBuilder()
        : table()
    {
        for (int i = 0; i < 128; ++i)
            table[i] = 65;
        for (int i = 0; i < 64; ++i)
            table[static_cast<unsigned char>(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i])]
                = static_cast<unsigned char>(i);
        table[static_cast<unsigned char>('=')] = 64;
    }
};
constexpr DecodeTableBuilder decodeTableBuilder;

constexpr size_t kLineLength = 76;
} // namespace

const unsigned char b64DecodeTable[128] = {
#define B64_ROW(i)                                                                                 \
    decodeTableBuilder.table[i], decodeTableBuilder.table[i + 1], decodeTableBuilder.table[i + 2], \
        decodeTableBuilder.table[i + 3], decodeTableBuilder.table[i + 4],                          \
        decodeTableBuilder.table[i + 5], decodeTableBuilder.table[i + 6],                          \
        decodeTableBuilder.table[i + 7]
    B64_ROW(0), B64_ROW(8), B64_ROW(16), B64_ROW(24), B64_ROW(32), B64_ROW(40), B64_ROW(48),
    B64_ROW(56), B64_ROW(64), B64_ROW(72), B64_ROW(80), B64_ROW(88), B64_ROW(96), B64_ROW(104),
    B64_ROW(112), B64_ROW(120)
#undef B64_ROW
};

bool encodeBase64(
    const std::string& in, std::string& out, bool breakLines, int lineLength, bool crlf)
{
    return encodeBase64(in.begin(), in.end(), out, breakLines, lineLength, crlf);
}

bool decodeBase64(const std::string& in, std::string& out)
{
    return decodeBase64(in.begin(), in.end(), out);
}

bool decodeBase64(const char* in, std::string& out)
{
    if (!in) {
        out.clear();
        return true;
    }
    return decodeBase64(in, in + std::strlen(in), out);
}

bool isBase64(const std::string& text, bool strict)
{
    if (strict && text.size() % 4 != 0)
        return false;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x80 || b64DecodeTable[c] > 64)
            return false;
    }
    return true;
}

bool isBase64(const std::string& text)
{
    return isBase64(text, false);
}

bool base64DecodedDataLength(const char* text, size_t& length)
{
    length = 0;
    bool result = true;
    if (!text)
        return result;
    int position = 0;
    size_t groupBytes = 0;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        unsigned char value = b64DecodeTable[c & 0x7F];
        if (value <= 64) {
            if (position == 0)
                groupBytes = 1;
            else if (position >= 2 && value != 64)
                ++groupBytes;
            if (++position == 4) {
                length += groupBytes;
                position = 0;
            }
        } else if (!detail::b64IsBlank(c)) {
            result = false;
        }
    }
    return result;
}

bool base64DecodedDataLength(const std::string& text, size_t& length)
{
    return base64DecodedDataLength(text.c_str(), length);
}

size_t encodeBase64X64(const char* in, size_t inLength, char* out, size_t outSize, size_t* consumed)
{
    size_t written = 0;
    size_t taken = 0;
    size_t lineCount = 0;
    auto room = [&] { return outSize - written; };
    auto lineRule = [&] {
        if (lineCount >= kLineLength && room() >= 3) {
            out[written++] = '\r';
            out[written++] = '\n';
            lineCount = 0;
        }
    };
    auto finish = [&] {
        if (out && room() >= 1)
            out[written] = '\0';
        if (consumed)
            *consumed = taken;
        return written;
    };
    if (!out || !in)
        return finish();
    const unsigned char* src = reinterpret_cast<const unsigned char*>(in);
    while (inLength - taken >= 3) {
        if (room() < 5)
            return finish();
        unsigned a = src[taken], b = src[taken + 1], c = src[taken + 2];
        out[written++] = b64EncodeTable[a >> 2];
        out[written++] = b64EncodeTable[((a & 3) << 4) | (b >> 4)];
        out[written++] = b64EncodeTable[((b & 15) << 2) | (c >> 6)];
        out[written++] = b64EncodeTable[c & 63];
        taken += 3;
        lineCount += 4;
        lineRule();
    }
    size_t left = inLength - taken;
    if (left > 0 && room() >= 5) {
        unsigned a = src[taken], b = left == 2 ? src[taken + 1] : 0;
        out[written++] = b64EncodeTable[a >> 2];
        out[written++] = b64EncodeTable[((a & 3) << 4) | (b >> 4)];
        if (left == 2) {
            out[written++] = b64EncodeTable[(b & 15) << 2];
            lineCount += 3;
        } else {
            out[written++] = '=';
            lineCount += 3;
            if (room() >= 2 + 3) // the break must leave room for the last '=' and the NUL
                lineRule();
        }
        if (room() >= 2) {
            out[written++] = '=';
            ++lineCount;
            taken += left;
            lineRule();
        }
    }
    return finish();
}

int encodeBase64(const char* in, int inLength, char* out, int outSize, int* consumed)
{
    size_t taken = 0;
    size_t written = encodeBase64X64(in, inLength > 0 ? static_cast<size_t>(inLength) : 0, out,
        outSize > 0 ? static_cast<size_t>(outSize) : 0, &taken);
    if (consumed)
        *consumed = static_cast<int>(taken);
    return static_cast<int>(written);
}

size_t decodeBase64Stream(
    Base64Stream* state, const char* in, char* out, size_t outSize, size_t* consumed)
{
    if (consumed)
        *consumed = 0;
    if (!state || !in)
        return 0;
    size_t length = std::strlen(in);
    if (!out) {
        // In place: the output never overtakes the input (three bytes are
        // written only after four characters were read).
        out = const_cast<char*>(in);
        outSize = length;
    }
    return decodeBase64Stream(*state, in, in + length, out, out + outSize, consumed);
}

size_t decodeBase64X64(char* in, char* out, size_t outSize, size_t* consumed)
{
    Base64Stream state;
    return decodeBase64Stream(&state, in, out, outSize, consumed);
}

int decodeBase64(char* in, char* out, int outSize, int* consumed)
{
    size_t taken = 0;
    size_t written
        = decodeBase64X64(in, out, outSize > 0 ? static_cast<size_t>(outSize) : 0, &taken);
    if (consumed)
        *consumed = static_cast<int>(taken);
    return static_cast<int>(written);
}

StreamCoderBuffer::StreamCoderBuffer(std::streambuf* target, int lineLength, bool lfOnly)
    : target_(target)
    , lineLength_(lineLength)
    , lfOnly_(lfOnly)
{
    setp(putArea_, putArea_ + sizeof putArea_);
    setg(getArea_, getArea_, getArea_);
}

StreamCoderBuffer::~StreamCoderBuffer() = default;

void StreamCoderBuffer::putchar(char c)
{
    if (!target_)
        return;
    target_->sputc(c);
    ++lineCount_;
    if (lineLength_ >= 1 && lineCount_ >= lineLength_) {
        if (!lfOnly_)
            target_->sputc('\r');
        target_->sputc('\n');
        lineCount_ = 0;
    }
}

Base64StreamDecoderBuffer::Base64StreamDecoderBuffer(
    std::streambuf* target, int lineLength, bool lfOnly)
    : StreamCoderBuffer(target, lineLength, lfOnly)
{
}

Base64StreamDecoderBuffer::~Base64StreamDecoderBuffer()
{
    end();
}

void Base64StreamDecoderBuffer::encodeGroup(size_t bytes)
{
    unsigned a = static_cast<unsigned char>(putArea_[0]);
    unsigned b = bytes > 1 ? static_cast<unsigned char>(putArea_[1]) : 0;
    unsigned c = bytes > 2 ? static_cast<unsigned char>(putArea_[2]) : 0;
    putchar(b64EncodeTable[a >> 2]);
    putchar(b64EncodeTable[((a & 3) << 4) | (b >> 4)]);
    putchar(bytes > 1 ? b64EncodeTable[((b & 15) << 2) | (c >> 6)] : '=');
    putchar(bytes > 2 ? b64EncodeTable[c & 63] : '=');
}

Base64StreamDecoderBuffer::int_type Base64StreamDecoderBuffer::overflow(int_type c)
{
    size_t held = static_cast<size_t>(pptr() - pbase());
    if (held == sizeof putArea_) {
        encodeGroup(held);
        setp(putArea_, putArea_ + sizeof putArea_);
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return 0;
}

void Base64StreamDecoderBuffer::end()
{
    size_t held = static_cast<size_t>(pptr() - pbase());
    if (held > 0)
        encodeGroup(held);
    setp(putArea_, putArea_ + sizeof putArea_);
}

int Base64StreamDecoderBuffer::getValue()
{
    if (!target_)
        return -1;
    for (;;) {
        int_type c = target_->sbumpc();
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return -1;
        unsigned char value = b64DecodeTable[static_cast<unsigned char>(c) & 0x7F];
        if (value < 64)
            return value;
    }
}

Base64StreamDecoderBuffer::int_type Base64StreamDecoderBuffer::underflow()
{
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    int a = getValue();
    int b = a < 0 ? -1 : getValue();
    if (b < 0)
        return traits_type::eof();
    size_t bytes = 1;
    getArea_[0] = static_cast<char>((a << 2) | (b >> 4));
    int c = getValue();
    if (c >= 0) {
        getArea_[1] = static_cast<char>(((b & 15) << 4) | (c >> 2));
        ++bytes;
        int d = getValue();
        if (d >= 0) {
            getArea_[2] = static_cast<char>(((c & 3) << 6) | d);
            ++bytes;
        }
    }
    setg(getArea_, getArea_, getArea_ + bytes);
    return traits_type::to_int_type(getArea_[0]);
}

int Base64StreamDecoderBuffer::sync()
{
    return target_ ? target_->pubsync() : 0;
}

} // namespace tavir::utils
