#include "MailCheck.h"

#include "ChildProcesses.h"

#include <algorithm>
#include <cstdio>

namespace tavir::bench {

using tavir::test::MailFolders;
using tavir::test::MailMessage;

namespace {

// The corpus's subject line names each message.
std::string subjectOf(const std::string& data)
{
    const std::size_t at = data.find("Subject: ");
    return at == std::string::npos ? "(no subject)"
                                   : data.substr(at + 9, data.find('\r', at) - at - 9);
}

std::string compareFolder(
    const std::string& where, std::vector<MailMessage> got, std::vector<MailMessage> expected)
{
    if (got.size() != expected.size())
        return where + ": " + std::to_string(got.size()) + " messages, "
            + std::to_string(expected.size()) + " expected";
    auto byBytes = [](const MailMessage& a, const MailMessage& b) { return a.data < b.data; };
    std::sort(got.begin(), got.end(), byBytes);
    std::sort(expected.begin(), expected.end(), byBytes);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::string message = where + ", message " + subjectOf(expected[i].data);
        if (got[i].data != expected[i].data)
            return message + ": other bytes arrived (" + std::to_string(got[i].data.size())
                + " bytes, " + subjectOf(got[i].data) + ")";
        if (got[i].standardFlags != expected[i].standardFlags)
            return message + ": flags \"" + got[i].standardFlags + "\", \""
                + expected[i].standardFlags + "\" expected";
        if (got[i].instant != expected[i].instant)
            return message + ": internal date " + std::to_string(got[i].instant) + ", "
                + std::to_string(expected[i].instant) + " expected";
    }
    return {};
}

// The corpus's messages of one account by folder name as it goes on the
// wire, every folder of the account present.
std::map<std::string, std::vector<MailMessage>> expectedMail(
    const BenchCorpus& corpus, unsigned account)
{
    std::map<std::string, std::vector<MailMessage>> folders;
    const CorpusAccount& owner = corpus.accounts()[account];
    for (const std::string& folder : owner.folders)
        folders[wireName(folder)];
    for (const CorpusMessage& message : corpus.messages()) {
        if (message.account != account)
            continue;
        MailMessage expected;
        expected.data = corpus.body(message);
        expected.standardFlags = tavir::test::standardFlagsOf(message.flags);
        expected.instant = tavir::test::internalDateInstant(message.date);
        folders[wireName(owner.folders[message.folder])].push_back(std::move(expected));
    }
    return folders;
}

} // namespace

ReadAccount mbsyncCopies(const tavir::test::Dovecot& server)
{
    return [&server](const CorpusAccount& account) {
        MailFolders folders
            = tavir::test::readDovecotAccount(server.port(), account.user, account.password);
        for (auto& [name, folder] : folders)
            for (MailMessage& message : folder.messages) {
                const std::size_t header = message.data.find("\r\n\r\n");
                const std::size_t at = message.data.find("\r\nX-TUID: ");
                if (at != std::string::npos && at < header)
                    message.data.erase(at, message.data.find("\r\n", at + 2) - at);
            }
        return folders;
    };
}

ReadAccount standInAccounts(const tavir::test::StandInTarget& target)
{
    return [&target](const CorpusAccount& account) {
        return tavir::test::readStandInAccount(target, account.address());
    };
}

std::string compareMail(const BenchCorpus& corpus, const ReadAccount& read)
{
    return answerFromChild([&]() -> std::string {
        for (unsigned a = 0; a < corpus.accounts().size(); ++a) {
            const CorpusAccount& account = corpus.accounts()[a];
            auto expected = expectedMail(corpus, a);
            MailFolders landed = read(account);
            for (auto& [name, messages] : expected) {
                auto found = landed.find(name);
                if (found == landed.end())
                    return account.user + "/" + name + ": no such folder";
                std::string difference = compareFolder(account.user + "/" + name,
                    std::move(found->second.messages), std::move(messages));
                if (!difference.empty())
                    return difference;
                landed.erase(found);
            }
            for (const auto& [name, folder] : landed)
                if (!folder.messages.empty())
                    return account.user + "/" + name + ": " + std::to_string(folder.messages.size())
                        + " messages in a folder the corpus does not have";
        }
        return {};
    });
}

std::string compareTotals(const BenchCorpus& corpus, const std::string& host, int port)
{
    const BenchCorpus::Totals expected = corpus.expectedTotals();
    for (const CorpusAccount& account : corpus.accounts()) {
        tavir::test::RawImap imap(host, port);
        if (!imap.login(account.address(), account.password))
            return account.user + ": login refused";
        for (const auto& [folder, totals] : expected.at(account.user)) {
            bool ok = false;
            const std::string reply = imap.command(
                "STATUS " + tavir::test::imapQuoted(wireName(folder)) + " (MESSAGES SIZE)", &ok);
            const std::size_t at = reply.find("(MESSAGES ");
            unsigned messages = 0;
            unsigned long long bytes = 0;
            if (!ok || at == std::string::npos
                || std::sscanf(reply.c_str() + at, "(MESSAGES %u SIZE %llu", &messages, &bytes)
                    != 2)
                return account.user + "/" + folder + ": no count: " + reply;
            if (messages != totals.messages || bytes != totals.bytes)
                return account.user + "/" + folder + ": " + std::to_string(messages)
                    + " messages of " + std::to_string(bytes) + " bytes, "
                    + std::to_string(totals.messages) + " of " + std::to_string(totals.bytes)
                    + " expected";
        }
    }
    return {};
}

} // namespace tavir::bench
