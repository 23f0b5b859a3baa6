#include "StandInIntake.h"

#include "ChildProcesses.h"
#include "EngineRun.h"
#include "Imap/textconv/TextConversion.h"
#include "MailCheck.h"
#include "imapclient/IMessage.h"
#include "imapclient/SimpleImapClient.h"

#include <cstdio>

namespace tavir::bench {

using tavir::migration::utf8ToUnicode;

namespace {

// One message held in memory, handed to APPEND whole.
class BodyMessage : public tavir::mail::simpleimapclient::IMessage {
public:
    BodyMessage(std::string body, std::string flags, std::string date)
        : body_(std::move(body))
        , flags_(std::move(flags))
        , date_(std::move(date))
    {
    }
    bool getFirstDataPart(std::string& part) override
    {
        part.swap(body_);
        return true;
    }
    bool getNextDataPart(std::string&) override { return false; }
    std::string getFlags() override { return flags_; }
    std::string getDate() override { return date_; }
    std::uint32_t getSize() override { return static_cast<std::uint32_t>(body_.size()); }
    std::uint32_t getRestSize() override { return 0; }

private:
    std::string body_;
    std::string flags_;
    std::string date_;
};

} // namespace

StandInIntake::StandInIntake(const BenchCorpus& corpus)
    : corpus_(corpus)
{
}

void StandInIntake::prepare()
{
    target_ = benchTarget(corpus_, true);
}

int StandInIntake::appendAccounts(unsigned client) const
{
    const auto& accounts = corpus_.accounts();
    for (std::size_t a = client; a < accounts.size(); a += clients) {
        const CorpusAccount& account = accounts[a];
        tavir::mail::SimpleImapClient imap;
        if (imap.connect(target_->whost(), static_cast<unsigned>(target_->port()),
                utf8ToUnicode(account.address()), utf8ToUnicode(account.password), false, false)
            != tavir::mail::ImapSuccess) {
            std::fprintf(stderr, "intake: login refused for %s\n", account.user.c_str());
            return 1;
        }
        std::vector<std::wstring> folders;
        for (const std::string& folder : account.folders) {
            folders.push_back(utf8ToUnicode(folder));
            tavir::mailserver::common::KUuid id;
            if (folder != "INBOX"
                && imap.createFolder(
                       folders.back(), id, tavir::mail::SimpleImapClient::FolderTypeNoteClass)
                    != tavir::mail::ImapSuccess) {
                std::fprintf(stderr, "intake: cannot create %s\n", folder.c_str());
                return 1;
            }
        }
        for (const CorpusMessage& message : corpus_.messages()) {
            if (message.account != a)
                continue;
            // The body is made just before its APPEND, as a source would
            // hand it over.
            BodyMessage body(corpus_.body(message), message.flags, message.date);
            if (imap.append(folders[message.folder], &body, false, nullptr)
                != tavir::mail::ImapSuccess) {
                std::fprintf(stderr, "intake: append refused: %s\n",
                    tavir::migration::unicodeToUtf8(imap.getLastErrorResponse()).c_str());
                return 1;
            }
        }
    }
    return 0;
}

RunResult StandInIntake::run()
{
    return runChildren(clients, [this](unsigned k) { return appendAccounts(k); });
}

std::string StandInIntake::check()
{
    return compareMail(corpus_, standInAccounts(*target_));
}

void StandInIntake::finish()
{
    target_.reset();
}

} // namespace tavir::bench
