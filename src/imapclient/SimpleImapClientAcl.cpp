// The client's folder ACL and message annotation operations.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/CommandAcl.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/SimpleImapClient.h"
#include "imapclient/SimpleImapClientFrame.h"

namespace tavir::mail {

using tavir::migration::unicodeToUtf7M;
using tavir::migration::unicodeToUtf8;

namespace {

const char* const refusedEntry = "the ACL text holds a line break or a NUL, or ends in a "
                                 "literal announcement; nothing was sent";

} // namespace

SimpleImapClient::ImapClientResult SimpleImapClient::setAcl(
    const std::wstring& folder, const std::wstring& entry)
{
    return simple("SETACL", ImapAclFailed, [&] {
        // The entry is written unquoted (identifier and rights as the
        // caller wrote them), so a text that could end the command line or
        // announce a literal is refused before anything is sent.
        const std::string text = unicodeToUtf8(entry);
        if (!isRawEntryText(text)) {
            connection_.setLastErrorResponse(refusedEntry);
            return ImapAclFailed;
        }
        CommandSetAcl command(connection_, unicodeToUtf7M(folder), text);
        return succeededOr(command.execute(nullptr), ImapAclFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::deleteAcl(
    const std::wstring& folder, const std::wstring& identifier)
{
    return simple("DELETEACL", ImapAclFailed, [&] {
        const std::string text = unicodeToUtf8(identifier);
        if (!isRawEntryText(text)) {
            connection_.setLastErrorResponse(refusedEntry);
            return ImapAclFailed;
        }
        CommandDeleteAcl command(connection_, unicodeToUtf7M(folder), text);
        return succeededOr(command.execute(nullptr), ImapAclFailed);
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::resetAcl(const std::wstring& folder)
{
    if (!masterAuthentication_)
        return ImapNotConnected;
    return simple("GETACL", ImapAclFailed, [&] {
        CommandGetAcl get(connection_, unicodeToUtf7M(folder));
        if (get.execute(nullptr) != Command::OK)
            return ImapAclFailed;
        std::vector<ACLInfo> entries;
        get.getAclInfo(entries);
        // Entries holding the owner right stay; every other entry goes, with
        // the rights being removed as a third argument. The first refusal
        // ends the reset and leaves the entries not reached yet.
        for (const ACLInfo& entry : entries) {
            if (entry.rights.testRight('O'))
                continue;
            CommandDeleteAcl remove(
                connection_, unicodeToUtf7M(folder), entry.identifier, entry.rights.getStr());
            if (remove.execute(nullptr) != Command::OK)
                return ImapAclFailed;
        }
        return ImapSuccess;
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::storeAnnotations(
    unsigned uid, const AnnotationList& annotations)
{
    return simple("UID STORE", ImapAnnotationFailed, [&] {
        CommandStore command(connection_, uid, annotations.createStringForStore(), false);
        return succeededOr(command.execute(nullptr), ImapAnnotationFailed);
    });
}

} // namespace tavir::mail
