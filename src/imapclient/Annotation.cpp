#include "imapclient/Annotation.h"

#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/Synthesizer.h"

namespace tavir::mail {

namespace {

// True when the text at the front (after blanks) is the atom NIL.
bool startsWithNil(const std::string& text)
{
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos || text.size() - at < 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if ((text[at + i] & ~0x20) != "NIL"[i])
            return false;
    return text.size() - at == 3 || text[at + 3] == ' ';
}

} // namespace

Annotation::Annotation(
    const std::string& entry, const std::string& value, const std::string& secondValue)
    : entry_(entry)
    , secondValue_(secondValue)
    , value_(value)
{
}

std::string Annotation::createString() const
{
    Synthesizer s;
    // Entry names come from callers and servers: always a string token.
    s.addParamString(entry_);
    s.append(" (");
    s.addParamString("value");
    if (nil_)
        s.addParam("NIL");
    else
        s.addParamStringEx(value_);
    s.append(")");
    return s.get();
}

std::string Annotation::createStringForStore(bool inList) const
{
    if (inList)
        return createString();
    // The builder's blank before a parameter stands after the parenthesis.
    Synthesizer s;
    s.append("ANNOTATION (");
    s.addParam(createString());
    s.append(")");
    return s.get();
}

bool Annotation::parse(std::string& text)
{
    entry_.clear();
    secondValue_.clear();
    value_.clear();
    nil_ = true;
    try {
        Parser outer(text);
        std::string entry;
        if (!outer.getNode(entry))
            return false;
        std::string data;
        if (!outer.getNodeData(data))
            return false;
        Parser inner(data);
        std::string attribute;
        if (!inner.getNode(attribute))
            return false;
        std::string valueText;
        if (!inner.getRest(valueText))
            return false;
        // The parser gives NIL as an empty text; NIL keeps its meaning here
        // (no value) so that writing the annotation back stores NIL again.
        bool nil = startsWithNil(valueText);
        std::string value;
        if (!nil) {
            Parser valueParser(valueText);
            if (!valueParser.getNode(value))
                return false;
        }
        std::string rest;
        outer.getRest(rest);
        entry_ = entry;
        value_ = value;
        nil_ = nil;
        text = rest;
        return true;
    } catch (const ImapParserException&) {
        entry_.clear();
        value_.clear();
        nil_ = true;
        return false;
    }
}

bool AnnotationList::getName(unsigned index, std::string& name) const
{
    if (index >= list_.size()) {
        name.clear();
        return false;
    }
    name = list_[index].getName();
    return true;
}

bool AnnotationList::getValue(unsigned index, std::string& out, bool value) const
{
    if (index >= list_.size()) {
        out.clear();
        return false;
    }
    out = value ? list_[index].getValue() : list_[index].getSecondValue();
    return true;
}

bool AnnotationList::getValue(const std::string& name, std::string& out, bool value) const
{
    for (const Annotation& a : list_) {
        if (a.getName() == name) {
            out = value ? a.getValue() : a.getSecondValue();
            return true;
        }
    }
    return false;
}

void AnnotationList::addNil(const std::string& name)
{
    Annotation a(name, std::string(), std::string());
    a.setNil(true);
    list_.push_back(a);
}

void AnnotationList::add(
    const std::string& entry, const std::string& value, const std::string& secondValue)
{
    list_.emplace_back(entry, value, secondValue);
}

std::string AnnotationList::createStringForStore() const
{
    std::string out = "ANNOTATION (";
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (i != 0)
            out += ' ';
        out += list_[i].createString();
    }
    out += ')';
    return out;
}

bool AnnotationList::createStringForStoreTest() const
{
    for (const Annotation& a : list_)
        if (!a.createStringTest())
            return false;
    return true;
}

void AnnotationList::parse(const std::string& text)
{
    // Only the blanks around the text go; its first and last characters
    // belong to the entries.
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return;
    std::size_t last = text.find_last_not_of(' ');
    std::string work = text.substr(first, last - first + 1);
    Annotation a;
    while (!work.empty() && a.parse(work))
        list_.push_back(a);
}

AnnotationList* createAnnotationList()
{
    return new AnnotationList();
}

void destroyAnnotationList(AnnotationList* list)
{
    delete list;
}

} // namespace tavir::mail
