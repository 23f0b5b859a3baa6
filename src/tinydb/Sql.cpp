// Literal quoting of the statement dialect (docs/tinydb-protocol.md).
#include "tinydb/Sql.h"

namespace tavir::tinydb {

std::string sqlText(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '\'';
    return out;
}

std::string sqlValue(const Value& value)
{
    switch (value.kind) {
    case Value::Integer:
        return std::to_string(value.integer);
    case Value::Text:
        return sqlText(value.text);
    default:
        return "NULL";
    }
}

} // namespace tavir::tinydb
