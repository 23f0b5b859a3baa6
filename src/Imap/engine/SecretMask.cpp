// A trie of the secrets' forms, and the masking of one line.
#include "Imap/engine/SecretMask.h"

#include "imapclient/Synthesizer.h"
#include "tinydb/Sql.h"

#include <algorithm>

namespace tavir::migration {

namespace {

const char hidden[] = "***";

bool byByte(const std::pair<unsigned char, unsigned>& edge, unsigned char c)
{
    return edge.first < c;
}

} // namespace

void SecretMask::add(const std::string& secret)
{
    if (secret.empty())
        return;
    insert(secret);
    // As sent in a LOGIN (and echoed back in a quoted string) and as
    // written in a statement's text literal, without the quotes.
    insert(mail::escapeQuotationMarks(secret));
    const std::string literal = tinydb::sqlText(secret);
    insert(literal.substr(1, literal.size() - 2));
}

void SecretMask::insert(const std::string& form)
{
    unsigned node = 0;
    for (unsigned char c : form) {
        auto& next = nodes_[node].next;
        auto edge = std::lower_bound(next.begin(), next.end(), c, byByte);
        if (edge != next.end() && edge->first == c) {
            node = edge->second;
            continue;
        }
        const unsigned child = static_cast<unsigned>(nodes_.size());
        next.insert(edge, {c, child});
        nodes_.emplace_back(); // `next` may dangle from here on
        node = child;
    }
    nodes_[node].end = true;
}

std::size_t SecretMask::longestAt(const std::string& text, std::size_t at) const
{
    std::size_t longest = 0;
    unsigned node = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
        const auto& next = nodes_[node].next;
        const unsigned char c = static_cast<unsigned char>(text[i]);
        auto edge = std::lower_bound(next.begin(), next.end(), c, byByte);
        if (edge == next.end() || edge->first != c)
            break;
        node = edge->second;
        if (nodes_[node].end)
            longest = i + 1 - at;
    }
    return longest;
}

std::string SecretMask::apply(const std::string& text) const
{
    if (empty())
        return text;
    std::string out;
    out.reserve(text.size());
    // Overlapping and adjoining secrets make one hidden stretch, so that no
    // part of either shows.
    std::size_t hiddenUntil = 0;
    bool hiding = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t length = longestAt(text, i);
        if (length > 0 && !hiding)
            out += hidden;
        hiddenUntil = std::max(hiddenUntil, i + length);
        hiding = i < hiddenUntil;
        if (!hiding)
            out += text[i];
    }
    return out;
}

} // namespace tavir::migration
