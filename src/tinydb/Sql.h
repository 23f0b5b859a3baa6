#pragma once
// Values as statement text. Every text that goes into a statement passes
// through sqlText, so nothing is ever spliced in raw.
#include "tinydb/ResultSet.h"

#include <string>

namespace tavir::tinydb {

// A text literal: single quotes, with a quote written \' and a backslash \\.
std::string sqlText(const std::string& text);
// NULL, a decimal integer or a text literal.
std::string sqlValue(const Value& value);

} // namespace tavir::tinydb
