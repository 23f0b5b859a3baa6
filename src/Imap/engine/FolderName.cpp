// Folder names that share their parents' segments.
#include "Imap/engine/FolderName.h"

#include <ostream>

namespace tavir::migration {

namespace {

// A polynomial hash, so that a name hashes alike in one segment or in many:
// hash(a + b) = hash(a) * factor^length(b) + hash(b).
constexpr std::size_t hashFactor = 1099511628211ull;

std::size_t hashOf(std::size_t start, const std::wstring& text)
{
    std::size_t h = start;
    for (wchar_t c : text)
        h = h * hashFactor + static_cast<std::size_t>(c);
    return h;
}

} // namespace

struct FolderName::Segment {
    std::shared_ptr<const Segment> parent;
    wchar_t separator = 0; // before `last`, when there is a parent
    std::wstring last;
    std::size_t size = 0; // of the whole name
    std::size_t hash = 0; // of the whole name
};

FolderName::FolderName(const std::wstring& text)
    : FolderName(FolderName(), 0, text)
{
}

FolderName::FolderName(const wchar_t* text)
    : FolderName(std::wstring(text))
{
}

FolderName::FolderName(const FolderName& parent, wchar_t separator, const std::wstring& last)
{
    auto segment = std::make_shared<Segment>();
    segment->last = last;
    // An empty parent is still a parent: a source with the separator "."
    // lists ".a" as the component "a" below the component "".
    if (!parent.segment_) {
        segment->size = last.size();
        segment->hash = hashOf(0, last);
    } else {
        segment->parent = parent.segment_;
        segment->separator = separator;
        segment->size = parent.size() + 1 + last.size();
        segment->hash = hashOf(parent.hash() * hashFactor + static_cast<std::size_t>(separator), last);
    }
    segment_ = std::move(segment);
}

std::size_t FolderName::size() const
{
    return segment_ ? segment_->size : 0;
}

std::size_t FolderName::hash() const
{
    return segment_ ? segment_->hash : 0;
}

std::wstring FolderName::text() const
{
    std::wstring text(size(), L'\0');
    std::size_t end = text.size();
    for (const Segment* p = segment_.get(); p; p = p->parent.get()) {
        end -= p->last.size();
        text.replace(end, p->last.size(), p->last);
        if (p->parent)
            text[--end] = p->separator;
    }
    return text;
}

bool operator==(const FolderName& a, const FolderName& b)
{
    if (a.segment_ == b.segment_)
        return true;
    return a.size() == b.size() && a.hash() == b.hash() && a.text() == b.text();
}

bool operator==(const FolderName& a, const std::wstring& b)
{
    return a.size() == b.size() && a.text() == b;
}

bool operator==(const FolderName& a, const wchar_t* b)
{
    return a == std::wstring(b);
}

std::wostream& operator<<(std::wostream& out, const FolderName& name)
{
    return out << name.text();
}

} // namespace tavir::migration
