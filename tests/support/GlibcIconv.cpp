#include "support/GlibcIconv.h"

#include <iconv.h>

namespace tavir::test {

std::string glibcConvert(const char* to, const char* from, const std::string& input)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return "<unsupported>";
    // Room for the widest growth of the charsets the tests use.
    std::string output(input.size() * 8 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char* out = &output[0];
    size_t outLeft = output.size();
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    if (r != (size_t)-1)
        r = iconv(cd, nullptr, nullptr, &out, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1)
        return "<error>";
    output.resize(output.size() - outLeft);
    return output;
}

} // namespace tavir::test
