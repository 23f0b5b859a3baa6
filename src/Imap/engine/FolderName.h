#pragma once
// A folder name held as its parent's name, a separator and its last
// component, so that the names of a deep tree share their beginnings: a tree
// 2,000 folders deep would otherwise hold 2,000 copies of names up to 4,000
// characters long. It reads as the whole name, and compares and hashes as
// that text, however it was put together.
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

namespace tavir::migration {

class FolderName {
public:
    FolderName() = default;
    // The whole name in one segment.
    FolderName(const std::wstring& text);
    FolderName(const wchar_t* text);
    // `parent`, `separator` and `last`; just `last` when there is no parent
    // (a default-made one). A parent whose text is empty still gives the
    // separator: "" and "a" make ".a".
    FolderName(const FolderName& parent, wchar_t separator, const std::wstring& last);

    std::wstring text() const;
    // Callers that want the text take it as it was when this was a string.
    operator std::wstring() const { return text(); }
    bool empty() const { return size() == 0; }
    std::size_t size() const;
    std::size_t hash() const;

    struct Hash {
        std::size_t operator()(const FolderName& name) const { return name.hash(); }
    };

    friend bool operator==(const FolderName& a, const FolderName& b);
    friend bool operator==(const FolderName& a, const std::wstring& b);
    friend bool operator==(const FolderName& a, const wchar_t* b);
    friend bool operator!=(const FolderName& a, const FolderName& b) { return !(a == b); }
    friend bool operator!=(const FolderName& a, const std::wstring& b) { return !(a == b); }
    friend bool operator!=(const FolderName& a, const wchar_t* b) { return !(a == b); }

private:
    struct Segment;
    std::shared_ptr<const Segment> segment_;
};

std::wostream& operator<<(std::wostream& out, const FolderName& name);

} // namespace tavir::migration
