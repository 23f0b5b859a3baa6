// The digests of whole messages, for the comparison of a folder with its
// copy where size, date and Message-ID can't tell two messages apart: each
// message's bytes read in pieces and digested as they come.
#include "crypto/StreamDigest.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/CopyRun.h"
#include "imapclient/Parser.h"
#include "imapclient/SimpleImapClient.h"
#include "imapclient/SimpleImapClientFrame.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace tavir::mail {

namespace {

// Messages asked for by one FETCH: a message set of this many numbers stays
// far below the line lengths servers take.
constexpr std::size_t digestRun = 200;

// The digest of `bytes`, a whole message, in `scratch`.
std::string digestOf(crypto::StreamDigest& scratch, const std::string& bytes)
{
    scratch.digestBuffer().start(); // so that no bytes is a digest too
    scratch.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return scratch.getDigest(false);
}

} // namespace

SimpleImapClient::ImapClientResult SimpleImapClient::fetchDigests(
    const std::vector<unsigned>& numbers, std::vector<std::string>& digests, unsigned& ignored)
{
    digests.assign(numbers.size(), std::string());
    ignored = 0;
    if (numbers.empty())
        return connected_ ? ImapSuccess : ImapNotConnected;
    return simple("FETCH", ImapFetchFailed, [&] {
        crypto::StreamDigestSHA512 scratch;
        // The messages still being read, by number: where the digest goes,
        // and the digest so far of one that is longer than a piece.
        struct Reading {
            std::size_t at;
            std::unique_ptr<crypto::StreamDigestSHA512> sofar;
        };
        std::map<unsigned, Reading> reading;
        for (std::size_t i = 0; i < numbers.size(); ++i)
            reading.emplace(numbers[i], Reading{i, nullptr});
        for (std::uint64_t origin = 0; !reading.empty(); origin += digestPiece) {
            std::vector<unsigned> asked;
            for (const auto& entry : reading)
                asked.push_back(entry.first);
            const std::string item = "BODY[]<" + std::to_string(origin) + ">";
            const std::string items = "(BODY.PEEK[]<" + std::to_string(origin) + "."
                + std::to_string(digestPiece) + ">)";
            std::set<unsigned> answered, longer;
            auto take = [&](const std::string& reply) {
                FetchResponse fetch;
                if (!readFetchReply(reply, fetch, ignored))
                    return;
                const std::string* piece = fetch.item(item.c_str());
                auto at = reading.find(fetch.number);
                // A piece longer than asked for is not this piece: the
                // message stays without a digest.
                if (piece == nullptr || at == reading.end() || !answered.insert(fetch.number).second
                    || piece->size() > digestPiece) {
                    ++ignored;
                    return;
                }
                Reading& message = at->second;
                const bool last = piece->size() < digestPiece;
                if (message.sofar == nullptr && last) {
                    digests[message.at] = digestOf(scratch, *piece);
                    return;
                }
                if (message.sofar == nullptr) {
                    message.sofar = std::make_unique<crypto::StreamDigestSHA512>();
                    message.sofar->digestBuffer().start();
                }
                message.sofar->write(piece->data(), static_cast<std::streamsize>(piece->size()));
                if (last)
                    digests[message.at] = message.sofar->getDigest(false);
                else
                    longer.insert(fetch.number);
            };
            for (std::size_t from = 0; from < asked.size(); from += digestRun) {
                const std::vector<unsigned> run(asked.begin() + static_cast<long>(from),
                    asked.begin() + static_cast<long>(std::min(asked.size(), from + digestRun)));
                CommandFetchEach command(connection_, sequenceSet(run), items);
                if (command.execute(take) != Command::OK)
                    return ImapFetchFailed;
            }
            // Read to its end, or not answered (no digest): done either way.
            for (auto it = reading.begin(); it != reading.end();)
                it = longer.count(it->first) ? std::next(it) : reading.erase(it);
        }
        return ImapSuccess;
    });
}

} // namespace tavir::mail
