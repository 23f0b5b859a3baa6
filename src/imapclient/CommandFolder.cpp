#include "imapclient/CommandFolder.h"

#include "imapclient/Parser.h"

#include <cstdlib>
#include <strings.h>

namespace tavir::mail {

namespace {

bool containsNoCase(const std::string& text, const std::string& word)
{
    if (word.size() > text.size())
        return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
        if (strncasecmp(text.c_str() + i, word.c_str(), word.size()) == 0)
            return true;
    return false;
}

} // namespace

CommandList::CommandList(ConnectionInternal& connection, const std::string& reference,
    const std::string& pattern, bool withGuid)
    : Command(connection, "LIST")
    , withGuid_(withGuid)
{
    if (withGuid)
        addParam("(GUID)");
    addParamString(reference);
    addParamString(pattern);
}

int CommandList::getList(std::vector<FolderInfo>& folders, char& delimiter, bool testNoSelect) const
{
    folders.clear();
    folders.reserve(getUntaggedResponses().size());
    // Responses of other kinds (EXISTS, FLAGS, CAPABILITY ...) are passed over.
    std::vector<ResponseResult> results;
    filterResponses(results, RespList);
    filterResponses(results, RespLsub);
    int count = 0;
    for (const ResponseResult& result : results) {
        std::string data = result.getString();
        Parser nodes(data);
        std::string flags, separator;
        FolderInfo info;
        if (nodes.getNode(flags) && nodes.getNode(separator))
            nodes.getNode(info.name);
        // A folder that does not exist (listed only as the parent of others)
        // can't be selected either.
        info.selectable = !(testNoSelect
            && (containsNoCase(flags, "\\NoSelect") || containsNoCase(flags, "\\NonExistent")));
        if (withGuid_) {
            std::size_t at = flags.find("\\Guid(");
            if (at != std::string::npos)
                info.guid
                    = tavir::mailserver::common::KUuid::fromString(flags.substr(at + 6, 36), true);
        }
        delimiter = separator.empty() ? '/' : separator[0];
        folders.push_back(std::move(info));
        ++count;
    }
    return count;
}

CommandCreate::CommandCreate(ConnectionInternal& connection, const std::string& name,
    unsigned int folderType, const std::string& guid, bool xcreate)
    : Command(connection, xcreate ? "X-CREATE" : "CREATE")
{
    if (folderType != 0) {
        std::string options = "(" + convertListExtension(folderType);
        if (!guid.empty())
            options += " GUID \"" + guid + "\"";
        options += ")";
        addParam(options);
    } else if (!guid.empty()) {
        addParam("(GUID \"" + guid + "\")");
    }
    addParamString(name);
}

CommandDelete::CommandDelete(
    ConnectionInternal& connection, const std::string& name, bool recursive)
    : Command(connection, "DELETE")
{
    if (recursive)
        addParam("(RECURSIVE)");
    addParamString(name);
}

CommandSelect::CommandSelect(ConnectionInternal& connection, const std::string& folder)
    : Command(connection, "SELECT")
{
    addParamString(folder);
    // What was said of the folder selected before no longer holds.
    connection.forgetMailbox();
}

CommandStatus::CommandStatus(
    ConnectionInternal& connection, const std::string& folder, bool withGuid)
    : Command(connection, "STATUS")
{
    addParamString(folder);
    addParam(withGuid ? "(MESSAGES GUID)" : "(MESSAGES)");
}

unsigned int CommandStatus::getMessagesCount()
{
    parseResponse();
    return count_;
}

tavir::mailserver::common::KUuid CommandStatus::getFolderGuid()
{
    parseResponse();
    return guid_;
}

bool CommandStatus::hasMessagesCount()
{
    parseResponse();
    return haveCount_;
}

void CommandStatus::parseResponse()
{
    if (parsed_)
        return;
    std::vector<ResponseResult> results;
    parsed_ = true;
    filterResponses(results, RespStatus);
    for (const ResponseResult& result : results)
        parseResponseValue(result.getString());
}

void CommandStatus::parseResponseValue(std::string text)
{
    Parser parser(text);
    std::string node;
    if (!parser.getNode(node)) // the mailbox name
        return;
    std::string values;
    if (!parser.getNodeData(values))
        return;
    Parser pairs(values);
    std::string name, value;
    while (pairs.getNode(name) && pairs.getNode(value)) {
        if (strcasecmp(name.c_str(), "MESSAGES") == 0) {
            if (!value.empty()) {
                count_ = static_cast<unsigned int>(std::strtoul(value.c_str(), nullptr, 10));
                haveCount_ = value[0] >= '0' && value[0] <= '9';
            }
        } else if (strcasecmp(name.c_str(), "GUID") == 0) {
            guid_ = tavir::mailserver::common::KUuid::fromString(value, true);
        }
    }
}

} // namespace tavir::mail
