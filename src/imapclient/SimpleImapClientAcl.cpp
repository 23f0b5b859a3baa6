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

const char* const refusedEntry
    = "ACL TEXT REFUSED: it holds a line break, a NUL or ends in a literal";

} // namespace

SimpleImapClient::ImapClientResult SimpleImapClient::setAcl(
    const std::wstring& folder, const std::wstring& entry)
{
    if (!connected_)
        return ImapNotConnected;
    // The entry is written unquoted (identifier and rights as the caller
    // wrote them), so a text that could end the command line or announce a
    // literal is refused before anything is sent.
    const std::string text = unicodeToUtf8(entry);
    if (!isRawEntryText(text)) {
        lastError_ = refusedEntry;
        return ImapAclFailed;
    }
    return simple(ImapAclFailed, [&] {
        CommandSetAcl command(connection_, unicodeToUtf7M(folder), text);
        return static_cast<ImapClientResult>(command.execute(nullptr));
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::deleteAcl(
    const std::wstring& folder, const std::wstring& identifier)
{
    if (!connected_)
        return ImapNotConnected;
    const std::string text = unicodeToUtf8(identifier);
    if (!isRawEntryText(text)) {
        lastError_ = refusedEntry;
        return ImapAclFailed;
    }
    return simple(ImapAclFailed, [&] {
        CommandDeleteAcl command(connection_, unicodeToUtf7M(folder), text);
        return static_cast<ImapClientResult>(command.execute(nullptr));
    });
}

SimpleImapClient::ImapClientResult SimpleImapClient::resetAcl(const std::wstring& folder)
{
    if (!connected_ || !masterAuthentication_)
        return ImapNotConnected;
    try {
        CommandGetAcl get(connection_, unicodeToUtf7M(folder));
        if (get.execute(nullptr) != Command::OK) {
            recordError();
            return ImapAclFailed;
        }
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
            if (remove.execute(nullptr) != Command::OK) {
                recordError();
                return ImapAclFailed;
            }
        }
        return ImapSuccess;
    } catch (const ImapException& e) {
        recordError();
        return handleImapException(e, ImapAclFailed);
    }
}

SimpleImapClient::ImapClientResult SimpleImapClient::storeAnnotations(
    unsigned uid, const AnnotationList& annotations)
{
    return simple(ImapAnnotationFailed, [&] {
        CommandStore command(connection_, uid, annotations.createStringForStore(), false);
        return static_cast<ImapClientResult>(command.execute(nullptr));
    });
}

} // namespace tavir::mail
