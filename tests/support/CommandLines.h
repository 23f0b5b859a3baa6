#pragma once
// Reading a client's IMAP byte stream as commands: lines, with the bytes of
// the literals they announce passed over. Shared by the scripted stream and
// the loopback relay; depends on nothing.
#include <cstddef>
#include <string>

namespace tavir::test {

// The literal that a line (without its CR LF) announces at its end: "{n}"
// or, non-synchronising, "{n+}".
struct AnnouncedLiteral {
    unsigned long long size = 0;
    bool nonSynchronising = false;
};

// True when `line` ends by announcing a literal, which it then describes.
inline bool announcesLiteral(const std::string& line, AnnouncedLiteral& literal)
{
    if (line.empty() || line.back() != '}')
        return false;
    const std::size_t open = line.rfind('{');
    if (open == std::string::npos)
        return false;
    std::size_t end = line.size() - 1;
    const bool plus = end > open + 1 && line[end - 1] == '+';
    if (plus)
        --end;
    if (end == open + 1)
        return false;
    unsigned long long size = 0;
    for (std::size_t i = open + 1; i < end; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        size = size * 10 + static_cast<unsigned long long>(line[i] - '0');
    }
    literal = {size, plus};
    return true;
}

// Follows what a client writes, line by line, with the bytes of literals
// ("{n}" or "{n+}" before a line end) skipped: `line` is called with each
// line that starts a command and where it starts in the bytes.
class CommandLines {
public:
    template <class Line> void feed(const std::string& bytes, std::size_t offset, Line line)
    {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (literalLeft_ > 0) {
                --literalLeft_;
                continue;
            }
            if (line_.empty())
                lineStart_ = offset + i;
            line_ += bytes[i];
            if (bytes[i] != '\n')
                continue;
            if (commandStart_)
                line(line_, lineStart_);
            AnnouncedLiteral literal;
            const bool announced = line_.size() >= 2 && line_[line_.size() - 2] == '\r'
                && announcesLiteral(line_.substr(0, line_.size() - 2), literal);
            literalLeft_ = announced ? literal.size : 0;
            commandStart_ = !announced;
            line_.clear();
        }
    }

    // Where the line that has begun but not yet ended starts; npos between
    // lines and inside a literal.
    std::size_t partialLineStart() const { return line_.empty() ? std::string::npos : lineStart_; }

private:
    std::string line_;
    std::size_t lineStart_ = 0;
    unsigned long long literalLeft_ = 0;
    bool commandStart_ = true;
};

} // namespace tavir::test
