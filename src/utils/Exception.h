#pragma once
// The utility library's exception: thrown for failed hexadecimal, charset and
// modified UTF-7 conversions and by the time-zone code.
#include <stdexcept>
#include <string>

namespace tavir::utils {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& text)
        : std::runtime_error(text)
    {
    }
    explicit Exception(const char* text)
        : std::runtime_error(text)
    {
    }
};

} // namespace tavir::utils
