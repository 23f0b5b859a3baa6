#pragma once
// The general charset converter: bytes in one charset are written into a
// StreamConverter and the converted bytes are taken out with get(). When
// either side is IMAP modified UTF-7 ("utf-7-imap" or "utf-7m"), the library
// converts to or from UTF-16 big-endian and Utf7ImapConverter does the rest.
// On top of it, the wide-string conversions: a std::wstring holds 4-byte
// characters whose bytes are "ucs-4le".
#include "utils/Exception.h"
#include "utils/KIconv.h"
#include "utils/Utf7ImapConverter.h"

#include <cstdint>
#include <iterator>
#include <ostream>
#include <streambuf>
#include <string>

namespace tavir::utils {

class StreamConverter : public std::ostream {
public:
    class BufConverter : public std::streambuf {
    public:
        BufConverter(bool lenient, bool throwOnError);
        ~BufConverter() override;
        BufConverter(const BufConverter&) = delete;
        BufConverter& operator=(const BufConverter&) = delete;

        // The conversion step: converts `data` after what is pending.
        void put(const char* data, size_t length);
        // Flushes the library's shift state and closes an open base64 run.
        void put_flush();

    protected:
        int sync() override;
        int_type overflow(int_type c) override;

    private:
        friend class StreamConverter;
        enum { PUT_AREA_SIZE = 1024, STEP_SIZE = 1024 };

        void flushPutArea();
        void append(const char* data, size_t length);

        KIconv iconv_;
        bool throwOnError_;
        bool lenient_;
        Utf7ImapConverter utf7_;
        bool error_ = false;
        std::string pending_; // bytes waiting for the library
        std::string utf7Input_; // modified UTF-7 waiting for the decoder
        std::string output_; // converted bytes not yet taken
        char* putArea_;
        Utf7ImapConverter::utf7imap_table state_;
        bool toUtf7_ = false;
        bool fromUtf7_ = false;
        bool final_ = false;
    };

    // Prepares the conversion from `from` to `to`. With throwOnError a pair
    // the library cannot convert throws tavir::utils::Exception, and so does
    // invalid input unless lenient.
    StreamConverter(
        const std::string& from, const std::string& to, bool throwOnError, bool lenient);
    ~StreamConverter() override;

    // With flush, converts everything written so far including the end of
    // the input; returns the output collected so far and empties it.
    std::string get(bool flush);
    // The conversion could not be opened.
    bool isError() const { return buf_.error_; }

private:
    BufConverter buf_;
};

// Byte string in `charset` -> wide string. With throwOnError false it never
// throws: the result is empty when the conversion cannot be opened, and
// characters that cannot be carried over are left out. False only when a
// tavir::utils::Exception was thrown inside.
template <class It>
bool charsetToUnicode(
    const std::string& charset, It begin, It end, std::wstring& out, bool throwOnError);
bool charsetToUnicode(
    const std::string& charset, const std::string& in, std::wstring& out, bool throwOnError);

// Wide string -> byte string in `charset`, the same way.
template <class It>
bool unicodeToCharset(
    const std::string& charset, It begin, It end, std::string& out, bool throwOnError);
bool unicodeToCharset(
    const std::string& charset, const std::wstring& in, std::string& out, bool throwOnError);

// Byte-string forms over charsetRecode: UTF-16LE bytes (the first two) or
// UCS-4LE bytes (the platform forms) to and from `charset`.
bool unicodeToCharset(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError);
bool charsetToUnicode(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError);
bool platformUnicodeToCharset(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError);
bool charsetToPlatformUnicode(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError);

// Modified UTF-7, or a charset the library converts to UTF-8.
bool haveCharset(const std::string& name);
// The name to use for a charset a message declares: fixed aliases first,
// then the name itself when the library knows it, then "windows-NNNN" as
// "cpNNNN", else "cp1252". True when the name was replaced.
bool remapCharset(std::string& result, const std::string& name);
// Takes the first UTF-8 character off the front of `text` into `ch`
// (leading continuation bytes are dropped first). False at the end, for an
// incomplete last character (text is then cleared) and for a byte 0xFE or
// 0xFF (text unchanged).
bool firstUtf8Char(std::string& text, std::string& ch);

template <class It>
bool charsetToUnicode(
    const std::string& charset, It begin, It end, std::wstring& out, bool throwOnError)
{
    out.clear();
    if (begin == end)
        return true;
    std::string bytes(begin, end);
    out.reserve(bytes.size());
    try {
        StreamConverter converter(charset, "ucs-4le", throwOnError, false);
        converter.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::string result = converter.get(true);
        const size_t count = result.size() / 4;
        out.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(result.data()) + 4 * i;
            out[i] = static_cast<wchar_t>(static_cast<uint32_t>(p[0])
                | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
                | static_cast<uint32_t>(p[3]) << 24);
        }
    } catch (const Exception&) {
        return false;
    }
    return true;
}

template <class It>
bool unicodeToCharset(
    const std::string& charset, It begin, It end, std::string& out, bool throwOnError)
{
    out.clear();
    if (begin == end)
        return true;
    std::string bytes;
    for (It it = begin; it != end; ++it) {
        const uint32_t c = static_cast<uint32_t>(*it);
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
        bytes.push_back(static_cast<char>((c >> 16) & 0xFF));
        bytes.push_back(static_cast<char>((c >> 24) & 0xFF));
    }
    out.reserve(bytes.size() / 4);
    try {
        StreamConverter converter("ucs-4le", charset, throwOnError, false);
        converter.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out = converter.get(true);
    } catch (const Exception&) {
        return false;
    }
    return true;
}

} // namespace tavir::utils
