#pragma once
// A direct converter: a whole byte string from one charset to another in one
// call, counting the characters the library could only convert
// approximately, with a buffer interface that hands the result out in
// pieces. The free functions make one converter per call.
#include "utils/KIconv.h"
#include "utils/Utf7ImapConverter.h"

#include <string>

namespace tavir::utils {

class CharsetConverter {
public:
    // With throwOnError, a pair the library cannot convert throws
    // std::runtime_error; otherwise the object is left without a descriptor.
    // The flag (with lenient) also goes to the modified UTF-7 decoder, whose
    // malformed input then makes convert() throw tavir::utils::Exception
    // unless lenient passes it on.
    CharsetConverter(const char* from, const char* to, bool throwOnError, bool lenient);
    virtual ~CharsetConverter();
    CharsetConverter(const CharsetConverter&) = delete;
    CharsetConverter& operator=(const CharsetConverter&) = delete;

    // Converts all of `in` into `out`. False without a descriptor or on a
    // failure of the library; when invalid input was skipped (or an
    // incomplete sequence ends the input) the result is `lenient`, and the
    // output holds everything else.
    bool convert(const std::string& in, std::string& out);
    // Buffer interface: the first call converts the whole input; this and
    // the following calls with the same input copy as much of the result as
    // fits to the start of the caller's buffer (reducing outLeft). The input
    // counts as consumed once everything was handed out.
    bool convert(const char** in, size_t& inLeft, char** out, size_t& outLeft);
    void reset();
    // The library's names for a conversion from `from` to `to`.
    void assimilateUtf7Imap(std::string& from, std::string& to);
    // Flushes the library's shift state into `buffer` (bufferLeft bytes of
    // room, reduced by what was written); 0 or an errno value.
    int flushIconv(char* buffer, size_t& bufferLeft, Utf7ImapConverter::utf7imap_table& state);

    // Characters converted approximately in the last convert(), plus invalid
    // input skipped and failed modified UTF-7 steps.
    size_t irreversible() const { return irreversible_; }
    bool isOpen() const { return iconv_.descriptor() != KIconv::INVALID_ICONV_DESC; }

private:
    void encode(const char* data, size_t length, std::string& out,
        Utf7ImapConverter::utf7imap_table& state);

    KIconv iconv_;
    size_t irreversible_ = 0;
    bool lenient_;
    Utf7ImapConverter utf7_;
    bool fromUtf7_ = false;
    bool toUtf7_ = false;
    std::string leftover_;
};

// false when the conversion cannot be opened, else the result of convert().
bool charsetRecode(const std::string& from, const std::string& to, const std::string& in,
    std::string& out, bool lenient);
template <class It>
bool charsetRecode(const std::string& from, const std::string& to, It begin, It end,
    std::string& out, bool lenient)
{
    out.clear();
    if (begin == end)
        return true;
    return charsetRecode(from, to, std::string(begin, end), out, lenient);
}
// The conversion succeeded and nothing was converted approximately.
bool charsetRecodeReversible(
    const std::string& from, const std::string& to, const std::string& in, std::string& out);
bool convertCharset(
    const std::string& from, const std::string& to, const std::string& in, std::string& out);
// The same, after the source name went through remapCharset.
bool charsetRecodeWithRemap(const std::string& from, const std::string& to, const std::string& in,
    std::string& out, bool lenient);

} // namespace tavir::utils
