#include "imapclient/CommandAcl.h"

#include "imapclient/Parser.h"

namespace tavir::mail {

namespace {

bool has8Bit(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

void addEntry(Synthesizer& s, const std::string& entry)
{
    s.addParam(entryWireForm(entry));
}

} // namespace

bool isRawEntryText(const std::string& text)
{
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    // A line ending in "{n}" or "{n+}" makes the server read the next bytes
    // (the next command) as this one's data.
    if (text.empty() || text.back() != '}')
        return true;
    std::size_t end = text.size() - 1;
    if (end > 0 && text[end - 1] == '+')
        --end;
    std::size_t start = end;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
        --start;
    return !(start < end && start > 0 && text[start - 1] == '{');
}

std::string entryWireForm(const std::string& entry)
{
    if (!isRawEntryText(entry))
        return quotedString(entry);
    // 8-bit bytes can't stand in an atom: such a word (an identifier in
    // UTF-8) goes as a literal. The caller's own quoted strings stay.
    std::string out;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = entry.find(' ', start);
        std::string word = entry.substr(start, end == std::string::npos ? end : end - start);
        if (has8Bit(word) && word.find('"') == std::string::npos)
            out += literalPlus(word);
        else
            out += word;
        if (end == std::string::npos)
            break;
        out += ' ';
        start = end + 1;
    }
    return out;
}

CommandSetAcl::CommandSetAcl(ConnectionInternal& connection, const std::string& folder,
    const std::string& identifier, const std::string& rights)
    : Command(connection, "SETACL")
{
    addParamString(folder);
    addParamString(identifier);
    addParamString(rights);
}

CommandSetAcl::CommandSetAcl(
    ConnectionInternal& connection, const std::string& folder, const std::string& entry)
    : Command(connection, "SETACL")
{
    addParamString(folder);
    addEntry(*this, entry);
}

CommandDeleteAcl::CommandDeleteAcl(ConnectionInternal& connection, const std::string& folder,
    const std::string& identifier, const std::string& rights)
    : Command(connection, "DELETEACL")
{
    addParamString(folder);
    addParamString(identifier);
    addParamString(rights);
}

CommandDeleteAcl::CommandDeleteAcl(
    ConnectionInternal& connection, const std::string& folder, const std::string& entry)
    : Command(connection, "DELETEACL")
{
    addParamString(folder);
    addEntry(*this, entry);
}

CommandGetAcl::CommandGetAcl(ConnectionInternal& connection, const std::string& folder)
    : Command(connection, "GETACL")
{
    addParamString(folder);
}

void CommandGetAcl::getAclInfo(std::vector<ACLInfo>& entries) const
{
    entries.clear();
    std::vector<ResponseResult> responses;
    filterResponses(responses, RespAcl);
    for (const ResponseResult& response : responses) {
        const std::string data = response.getString();
        Parser parser(data);
        std::string mailbox;
        if (!parser.getNode(mailbox))
            continue; // not even a mailbox: nothing to record
        // "* ACL mailbox" alone is an empty list. A trailing identifier
        // without rights is kept with empty rights.
        std::string identifier;
        while (parser.getNode(identifier)) {
            ACLInfo info;
            std::string rights;
            parser.getNode(rights);
            info.rights.set(rights);
            info.identifier = identifier;
            entries.push_back(info);
        }
    }
}

} // namespace tavir::mail
