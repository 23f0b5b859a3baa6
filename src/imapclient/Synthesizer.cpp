#include "imapclient/Synthesizer.h"

namespace tavir::mail {

void Synthesizer::addSpace(std::string& out)
{
    if (!out.empty())
        out += ' ';
}

void Synthesizer::addParam(std::string& out, const std::string& text)
{
    addSpace(out);
    out += text;
}

void Synthesizer::addParam(std::string& out, unsigned int n)
{
    addSpace(out);
    out += std::to_string(n);
}

void Synthesizer::addParamString(std::string& out, const std::string& text)
{
    addSpace(out);
    out += quotedString(text);
}

void Synthesizer::addParamStringEx(std::string& out, const std::string& text)
{
    addSpace(out);
    out += literalPlus(text);
}

void Synthesizer::addParamVector(std::string& out, const std::vector<std::string>& items)
{
    addSpace(out);
    out += '(';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ' ';
        out += items[i];
    }
    out += ')';
}

void Synthesizer::addParamVector(std::string& out, const std::string& text)
{
    addSpace(out);
    out += '(';
    out += text;
    out += ')';
}

void Synthesizer::addParamVectorString(std::string& out, const std::vector<std::string>& items)
{
    addSpace(out);
    out += '(';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ' ';
        out += quotedString(items[i]);
    }
    out += ')';
}

std::string escapeQuotationMarks(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string literalPlus(const std::string& text)
{
    std::string out = "{" + std::to_string(text.size()) + "+}\r\n";
    out += text;
    return out;
}

bool isQuotable(const std::string& text)
{
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b == 0 || b == '\r' || b == '\n' || b >= 0x80)
            return false;
    }
    return true;
}

std::string quotedString(const std::string& text)
{
    if (!isQuotable(text))
        return literalPlus(text);
    return "\"" + escapeQuotationMarks(text) + "\"";
}

namespace {

struct FolderTypeRow {
    unsigned int bit;
    const char* keyword;
    const char* flag;
};

const FolderTypeRow folderTypes[] = {
    {FolderTypeContact, "X-CONTACT", "\\TavirContact"},
    {FolderTypeCalendar, "X-CALENDAR", "\\TavirCalendar"},
    {FolderTypeTodo, "X-TODO", "\\TavirTodo"},
    {FolderTypeJournal, "X-JOURNAL", "\\TavirJournal"},
    {FolderTypeMail, "X-MAIL", "\\TavirMail"},
    {FolderTypeMapi, "X-MAPI", "\\TavirMapi"},
    {FolderTypeNote, "X-NOTE", "\\TavirNote"},
    {FolderTypeSearch, "X-SEARCH", "\\TavirSearch"},
};

} // namespace

std::string convertListExtension(unsigned int bits)
{
    if ((bits & FolderTypeAll) == FolderTypeAll)
        return "X-ALL";
    for (const FolderTypeRow& row : folderTypes)
        if (bits & row.bit)
            return row.keyword;
    return std::string();
}

unsigned int convertListExtension(const std::string& flags)
{
    unsigned int bits = 0;
    for (const FolderTypeRow& row : folderTypes)
        if (flags.find(row.flag) != std::string::npos)
            bits |= row.bit;
    if (flags.find("\\Noselect") != std::string::npos)
        bits |= FolderNoSelect;
    return bits;
}

} // namespace tavir::mail
