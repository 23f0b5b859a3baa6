#include "Imap/textconv/TextConversion.h"

#include "utils/CharsetNames.h"
#include "utils/StreamConverter.h"

namespace tavir::migration {

std::wstring utf8ToUnicode(const std::string& text)
{
    std::wstring result;
    utils::charsetToUnicode(utils::cp::UTF_8, text, result, false);
    return result;
}

std::wstring utf7MToUnicode(const std::string& text)
{
    std::wstring result;
    utils::charsetToUnicode(utils::cp::UTF_7_IMAP, text, result, false);
    return result;
}

std::string unicodeToUtf8(const std::wstring& text)
{
    std::string result;
    utils::unicodeToCharset(utils::cp::UTF_8, text, result, false);
    return result;
}

std::string unicodeToUtf7M(const std::wstring& text)
{
    std::string result;
    utils::unicodeToCharset(utils::cp::UTF_7_IMAP, text, result, false);
    return result;
}

} // namespace tavir::migration
