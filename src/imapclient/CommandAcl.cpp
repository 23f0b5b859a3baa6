#include "imapclient/CommandAcl.h"

#include "imapclient/Parser.h"

namespace tavir::mail {

namespace {

void addEntry(Synthesizer& s, const std::string& entry)
{
    if (isRawEntryText(entry))
        s.addParam(entry);
    else
        s.addParamString(entry);
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
