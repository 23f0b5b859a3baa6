// The secrets' forms in one sorted table, and the masking of one message.
#include "Imap/engine/SecretMask.h"

#include "imapclient/Synthesizer.h"
#include "tinydb/Sql.h"

#include <algorithm>

namespace tavir::migration {

namespace {

const char hidden[] = "***";

std::string_view trimmed(std::string_view text)
{
    const char* const ends = " \t\r\n";
    const std::size_t first = text.find_first_not_of(ends);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(ends) + 1 - first);
}

// Every form of `secret` that a message may hold, each once, none empty.
// Most secrets have one form nine times over (nothing to escape, no blank,
// no line break): kept once here, the table being built for 100,000
// accounts holds 100,000 forms, not 900,000.
std::vector<std::string> formsOf(const std::string& secret)
{
    std::vector<std::string> forms;
    auto keep = [&forms](std::string_view form) {
        if (!form.empty())
            forms.emplace_back(form);
    };
    const std::string literal = tinydb::sqlText(secret);
    // As sent in a LOGIN (and echoed back in a quoted string) and as
    // written in a statement's text literal, without the quotes.
    for (const std::string& whole :
        {secret, mail::escapeQuotationMarks(secret), literal.substr(1, literal.size() - 2)}) {
        keep(whole);
        keep(trimmed(whole));
        const std::string_view view(whole);
        for (std::size_t start = 0; start < view.size();) {
            const std::size_t end = std::min(view.find_first_of("\r\n", start), view.size());
            keep(trimmed(view.substr(start, end - start)));
            start = end + 1;
        }
    }
    std::sort(forms.begin(), forms.end());
    forms.erase(std::unique(forms.begin(), forms.end()), forms.end());
    return forms;
}

} // namespace

SecretMask SecretMask::with(const std::vector<std::string>& secrets) const
{
    // The forms this table lacks, sorted, each once. Their bytes become the
    // new table's and this table's are copied after them, so that the forms
    // of a whole list of passwords are not copied a second time. A form
    // that two of the new secrets share leaves its second bytes unused.
    SecretMask merged;
    std::string& bytes = merged.bytes_;
    std::vector<Form> fresh;
    fresh.reserve(secrets.size());
    for (const std::string& secret : secrets) {
        for (const std::string& form : formsOf(secret)) {
            if (holds(form))
                continue;
            fresh.push_back({bytes.size(), static_cast<std::uint32_t>(form.size()), none});
            bytes += form;
        }
    }
    auto byText = [&merged](const Form& a, const Form& b) {
        return merged.formText(a) < merged.formText(b);
    };
    auto sameText = [&merged](const Form& a, const Form& b) {
        return merged.formText(a) == merged.formText(b);
    };
    std::sort(fresh.begin(), fresh.end(), byText);
    fresh.erase(std::unique(fresh.begin(), fresh.end(), sameText), fresh.end());
    const std::size_t shift = bytes.size();
    bytes += bytes_;

    // Merged with this mask's table into one.
    merged.forms_.reserve(forms_.size() + fresh.size());
    auto take = [&merged](const Form& form) {
        merged.forms_.push_back(form);
        merged.firstBytes_[static_cast<unsigned char>(merged.bytes_[form.at])] = true;
    };
    auto old = forms_.begin();
    auto added = fresh.begin();
    while (old != forms_.end() || added != fresh.end()) {
        if (added == fresh.end()
            || (old != forms_.end() && formText(*old) < merged.formText(*added))) {
            take({old->at + shift, old->length, none});
            ++old;
        } else {
            take(*added++);
        }
    }
    merged.linkShorter();
    return merged;
}

bool SecretMask::holds(std::string_view form) const
{
    const auto found = std::lower_bound(forms_.begin(), forms_.end(), form,
        [this](const Form& held, std::string_view text) { return formText(held) < text; });
    return found != forms_.end() && formText(*found) == form;
}

void SecretMask::linkShorter()
{
    // In sorted order every form comes after the forms that begin it, and
    // nothing that they don't begin comes in between: a stack of the
    // forms that begin the one in hand.
    std::vector<std::uint32_t> beginning;
    for (std::uint32_t k = 0; k < forms_.size(); ++k) {
        const std::string_view form = formText(forms_[k]);
        while (!beginning.empty()
            && form.compare(0, forms_[beginning.back()].length, formText(forms_[beginning.back()]))
                != 0)
            beginning.pop_back();
        forms_[k].shorter = beginning.empty() ? none : beginning.back();
        beginning.push_back(k);
    }
}

std::size_t SecretMask::longestAt(std::string_view text, std::size_t at) const
{
    if (!firstBytes_[static_cast<unsigned char>(text[at])])
        return 0;
    const std::string_view rest = text.substr(at);
    // The last form that sorts at or before the rest of the text: every
    // form the rest begins with begins that one too, and is no longer than
    // what the two have in common.
    auto after = std::upper_bound(forms_.begin(), forms_.end(), rest,
        [this](std::string_view value, const Form& form) { return value < formText(form); });
    if (after == forms_.begin())
        return 0;
    const Form& last = *(after - 1);
    const std::string_view candidate = formText(last);
    const std::size_t common
        = std::mismatch(candidate.begin(), candidate.end(), rest.begin(), rest.end()).first
        - candidate.begin();
    if (common == candidate.size())
        return common;
    std::uint32_t k = last.shorter;
    while (k != none && forms_[k].length > common)
        k = forms_[k].shorter;
    return k == none ? 0 : forms_[k].length;
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
