#pragma once
// Per-message annotations (an entry name and its value) in the form the
// target server's annotation store command takes, and read back from the
// annotation data of a server's reply.
#include <ostream>
#include <string>
#include <vector>

namespace tavir::mail {

class Annotation {
public:
    // Values of this size or more are not written.
    static constexpr std::size_t maxValueSize = 0xF00000;

    Annotation() = default;
    // `value` is what is sent; `secondValue` is kept for the caller only.
    Annotation(const std::string& entry, const std::string& value, const std::string& secondValue);

    const std::string& getName() const { return entry_; }
    const std::string& getValue() const { return value_; }
    const std::string& getSecondValue() const { return secondValue_; }
    bool isNil() const { return nil_; }
    void setNil(bool nil) { nil_ = nil; }

    // The entry as a string token, then ( "value" and the value as NIL or
    // as a literal, then ).
    std::string createString() const;
    // Without `inList` wrapped into "ANNOTATION (" ... ")".
    std::string createStringForStore(bool inList) const;
    bool createStringTest() const { return value_.size() < maxValueSize; }
    bool createStringForStoreTest(bool) const { return createStringTest(); }

    // Reads one annotation (entry, then a group of attribute and value)
    // from the front of `text` and leaves the rest there. A value the server
    // wrote as NIL comes back with the NIL flag set and an empty value. On
    // failure the object is empty with the NIL flag set and `text` is
    // unchanged.
    bool parse(std::string& text);

private:
    std::string entry_;
    std::string secondValue_;
    std::string value_;
    bool nil_ = false;
};

class AnnotationList {
public:
    unsigned count() const { return static_cast<unsigned>(list_.size()); }
    bool getName(unsigned index, std::string& name) const;
    // `value` true gives the value, false the second value.
    bool getValue(unsigned index, std::string& out, bool value) const;
    // The first annotation whose entry name equals `name`; none leaves
    // `out` unchanged.
    bool getValue(const std::string& name, std::string& out, bool value) const;
    const Annotation& at(unsigned index) const { return list_.at(index); }

    void addNil(const std::string& name);
    void add(const std::string& entry, const std::string& value, const std::string& secondValue);
    void add(const Annotation& annotation) { list_.push_back(annotation); }

    // "ANNOTATION (" and every annotation's createString, separated by one
    // blank, then ")".
    std::string createStringForStore() const;
    bool createStringForStoreTest() const;

    // Appends the annotations read from `text` until one can't be read.
    void parse(const std::string& text);
    void clear() { list_.clear(); }
    void dump(std::ostream&) const { }

private:
    std::vector<Annotation> list_;
};

// A list on the heap that only destroyAnnotationList frees (null: nothing).
AnnotationList* createAnnotationList();
void destroyAnnotationList(AnnotationList* list);

} // namespace tavir::mail
