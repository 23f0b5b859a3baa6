#pragma once
// Reading a client's IMAP byte stream as commands: lines, with the bytes of
// the literals they announce passed over. Shared by the scripted stream and
// the loopback relay; depends on nothing.
#include <cstddef>
#include <string>

namespace tavir::test {

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
            std::size_t open = line_.rfind('{');
            std::size_t digits = open == std::string::npos ? line_.size() : open + 1;
            std::size_t end = digits;
            while (end < line_.size() && line_[end] >= '0' && line_[end] <= '9')
                ++end;
            std::string rest = line_.substr(end);
            bool literal = end > digits && (rest == "}\r\n" || rest == "+}\r\n");
            literalLeft_ = literal ? std::stoull(line_.substr(digits, end - digits)) : 0;
            commandStart_ = !literal;
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
