#pragma once
// Texts of the last system error: "(code) text".
#include <string>

namespace tavir::tiny {

class FormatError {
public:
    enum SysErrorType {
        sysError = 1, // the last system error (errno)
        dllError = 2, // a dynamic-loading error
    };

    // Points to a 256-byte buffer of the calling thread, valid until its next
    // call; null when the buffer can't be made. errno is left as it was.
    static const char* formatError(SysErrorType type = sysError);
    static std::string formatErrorAsString(SysErrorType type = sysError);
    static std::string formatErrorFromErrorCode(int code);
};

} // namespace tavir::tiny
