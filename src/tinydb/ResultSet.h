#pragma once
// One statement's answer as the client hands it on: the rows it changed, its
// typed columns and its rows of NULL, 64-bit integer or UTF-8 text values.
#include <cstdint>
#include <string>
#include <vector>

namespace tavir::tinydb {

struct Value {
    // The numbers are the wire's type and tag numbers.
    enum Kind : std::uint8_t { Null = 0, Integer = 1, Text = 2 };

    Kind kind = Null;
    std::int64_t integer = 0;
    std::string text;

    static Value null() { return {}; }
    static Value of(std::int64_t number) { return {Integer, number, {}}; }
    static Value of(std::string words) { return {Text, 0, std::move(words)}; }
    bool operator==(const Value& other) const
    {
        return kind == other.kind && integer == other.integer && text == other.text;
    }
    bool operator!=(const Value& other) const { return !(*this == other); }
};

struct Column {
    std::string name;
    Value::Kind type = Value::Text;
};

struct ResultSet {
    std::int64_t changed = 0; // rows changed by UPDATE, INSERT or DELETE
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;
};

} // namespace tavir::tinydb
