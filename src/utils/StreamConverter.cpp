#include "utils/StreamConverter.h"

#include "utils/CharsetConverter.h"
#include "utils/CharsetNames.h"

#include <cerrno>
#include <strings.h>

namespace tavir::utils {

namespace {
// Modified UTF-7 carries UTF-16 code units: surrogate pairs included, so
// the library converts through UTF-16 (not UCS-2, which would lose every
// character above U+FFFF).
const char kUtf7Units[] = "utf-16be";
const char kIgnore[] = "//IGNORE";
} // namespace

StreamConverter::BufConverter::BufConverter(bool lenient, bool throwOnError)
    : throwOnError_(throwOnError)
    , lenient_(lenient)
    , utf7_(lenient, throwOnError)
    , putArea_(new char[PUT_AREA_SIZE])
{
    setp(putArea_, putArea_ + PUT_AREA_SIZE);
}

StreamConverter::BufConverter::~BufConverter()
{
    delete[] putArea_;
}

void StreamConverter::BufConverter::append(const char* data, size_t length)
{
    if (toUtf7_) {
        std::string encoded;
        utf7_.toUtf7Imap(data, length, encoded, state_);
        output_ += encoded;
    } else {
        output_.append(data, length);
    }
}

void StreamConverter::BufConverter::put(const char* data, size_t length)
{
    if (iconv_.descriptor() == KIconv::INVALID_ICONV_DESC)
        return;
    if (fromUtf7_) {
        utf7Input_.append(data, length);
        std::string units;
        utf7_.fromUtf7Imap(utf7Input_, units, state_, final_);
        pending_ += units;
    } else {
        pending_.append(data, length);
    }

    char buffer[STEP_SIZE];
    for (;;) {
        const char* in = pending_.data();
        size_t inLeft = pending_.size();
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv_.vxiconv(&in, &inLeft, &out, &outLeft);
        const int error = result == static_cast<size_t>(-1) ? errno : 0;
        const size_t produced = sizeof buffer - outLeft;
        const size_t consumed = pending_.size() - inLeft;
        append(buffer, produced);
        if (error == 0) {
            pending_.clear();
            return;
        }
        if (error == E2BIG) {
            pending_.erase(0, consumed);
            if (consumed == 0 && produced == 0)
                return; // nothing fits: give up rather than spin
            continue;
        }
        if (error == EINVAL) {
            // an incomplete sequence at the end: wait for the rest
            pending_.erase(0, consumed);
            return;
        }
        if (error == EILSEQ) {
            if (!lenient_ && throwOnError_) {
                pending_.clear();
                throw Exception("Invalid multibyte sequence is encountered in the input.");
            }
            // The library skips what it cannot convert and reports it at the
            // end; should it stop early, what follows is still converted.
            pending_.erase(0, consumed);
            if (!pending_.empty() && (consumed > 0 || produced > 0))
                continue;
            pending_.clear();
            return;
        }
        return;
    }
}

void StreamConverter::BufConverter::put_flush()
{
    if (iconv_.descriptor() == KIconv::INVALID_ICONV_DESC)
        return;
    char buffer[STEP_SIZE];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    iconv_.vxiconv(nullptr, nullptr, &out, &outLeft);
    append(buffer, sizeof buffer - outLeft);
    if (toUtf7_)
        Utf7ImapConverter::flushTable(state_, output_);
}

void StreamConverter::BufConverter::flushPutArea()
{
    const size_t held = static_cast<size_t>(pptr() - pbase());
    setp(putArea_, putArea_ + PUT_AREA_SIZE);
    if (held > 0)
        put(putArea_, held);
}

int StreamConverter::BufConverter::sync()
{
    flushPutArea();
    return 0;
}

StreamConverter::BufConverter::int_type StreamConverter::BufConverter::overflow(int_type c)
{
    flushPutArea();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        const char byte = traits_type::to_char_type(c);
        put(&byte, 1);
    }
    return 0;
}

StreamConverter::StreamConverter(
    const std::string& from, const std::string& to, bool throwOnError, bool lenient)
    : std::ostream(nullptr)
    , buf_(lenient, throwOnError)
{
    rdbuf(&buf_);
    // Let a conversion error thrown by the buffer reach the caller instead
    // of only setting badbit.
    exceptions(std::ios::badbit);
    std::string target = to + kIgnore;
    std::string source = from;
    if (Utf7ImapConverter::isUtf7Imap(to)) {
        target = std::string(kUtf7Units) + kIgnore;
        buf_.toUtf7_ = true;
    }
    if (Utf7ImapConverter::isUtf7Imap(from)) {
        source = kUtf7Units;
        buf_.fromUtf7_ = true;
    }
    buf_.iconv_.open(target.c_str(), source.c_str());
    if (buf_.iconv_.descriptor() == KIconv::INVALID_ICONV_DESC) {
        buf_.error_ = true;
        if (throwOnError)
            throw Exception("The conversion from " + from + " to " + to
                + " is not supported by the implementation.");
    }
}

StreamConverter::~StreamConverter()
{
    buf_.iconv_.close();
}

std::string StreamConverter::get(bool flush)
{
    if (flush) {
        BufConverter& b = buf_;
        b.final_ = true;
        try {
            const size_t held = static_cast<size_t>(b.pptr() - b.pbase());
            b.setp(b.putArea_, b.putArea_ + BufConverter::PUT_AREA_SIZE);
            if (held > 0 || b.fromUtf7_)
                b.put(b.putArea_, held);
        } catch (...) {
            b.final_ = false;
            throw;
        }
        b.put_flush();
        // An incomplete sequence at the very end is dropped; what comes next
        // is a new text.
        b.pending_.clear();
        b.utf7Input_.clear();
        b.state_ = Utf7ImapConverter::utf7imap_table();
        b.final_ = false;
    }
    std::string result;
    result.swap(buf_.output_);
    return result;
}

bool charsetToUnicode(
    const std::string& charset, const std::string& in, std::wstring& out, bool throwOnError)
{
    return charsetToUnicode(charset, in.begin(), in.end(), out, throwOnError);
}

bool unicodeToCharset(
    const std::string& charset, const std::wstring& in, std::string& out, bool throwOnError)
{
    return unicodeToCharset(charset, in.begin(), in.end(), out, throwOnError);
}

// The byte-string forms carry UTF-16 rather than UCS-2 for the same reason
// as modified UTF-7: characters above U+FFFF must survive.
bool unicodeToCharset(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError)
{
    return charsetRecode("utf-16le", charset, in, out, throwOnError);
}

bool charsetToUnicode(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError)
{
    return charsetRecode(charset, "utf-16le", in, out, throwOnError);
}

bool platformUnicodeToCharset(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError)
{
    return charsetRecode(cp::UCS_4_LE, charset, in, out, throwOnError);
}

bool charsetToPlatformUnicode(
    const std::string& charset, const std::string& in, std::string& out, bool throwOnError)
{
    return charsetRecode(charset, cp::UCS_4_LE, in, out, throwOnError);
}

bool haveCharset(const std::string& name)
{
    if (Utf7ImapConverter::isUtf7Imap(name))
        return true;
    KIconv probe;
    return probe.open(cp::UTF_8.c_str(), name.c_str());
}

bool remapCharset(std::string& result, const std::string& name)
{
    static const struct {
        const char* name;
        const char* result;
    } aliases[] = {
        {"ks_c_5601-1987", "cp949"},
        {"iso-8859-1", "cp1252"},
        {"ksc5601", "cp949"},
        {"us-ascii", "cp1252"},
        {"none", "cp1252"},
        {"iso-8859-8-i", "iso-8859-8"},
        {"gb2312", "gb18030"},
    };
    for (const auto& alias : aliases) {
        if (strcasecmp(name.c_str(), alias.name) == 0) {
            result = alias.result;
            return true;
        }
    }
    if (Utf7ImapConverter::isUtf7Imap(name) || haveCharset(name)) {
        result = name;
        return false;
    }
    if (name.compare(0, 8, "windows-") == 0) {
        result = "cp" + name.substr(8);
        return true;
    }
    result = cp::CP_1252;
    return true;
}

bool firstUtf8Char(std::string& text, std::string& ch)
{
    ch.clear();
    size_t skip = 0;
    while (skip < text.size() && (static_cast<unsigned char>(text[skip]) & 0xC0) == 0x80)
        ++skip;
    text.erase(0, skip);
    if (text.empty())
        return false;
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    size_t length;
    if (lead < 0x80)
        length = 1;
    else if ((lead & 0xE0) == 0xC0)
        length = 2;
    else if ((lead & 0xF0) == 0xE0)
        length = 3;
    else if ((lead & 0xF8) == 0xF0)
        length = 4;
    else if ((lead & 0xFC) == 0xF8)
        length = 5;
    else if ((lead & 0xFE) == 0xFC)
        length = 6;
    else
        return false; // 0xFE or 0xFF
    if (text.size() < length) {
        text.clear();
        return false;
    }
    ch = text.substr(0, length);
    text.erase(0, length);
    return true;
}

} // namespace tavir::utils
