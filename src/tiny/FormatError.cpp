#include "tiny/FormatError.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavir::tiny {

namespace {

const size_t bufferSize = 256;

pthread_key_t bufferKey;
bool haveKey = false;

void makeKey()
{
    haveKey = pthread_key_create(&bufferKey, free) == 0;
}

char* threadBuffer()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, makeKey);
    if (!haveKey)
        return nullptr;
    char* buf = static_cast<char*>(pthread_getspecific(bufferKey));
    if (!buf) {
        buf = static_cast<char*>(malloc(bufferSize));
        if (!buf)
            return nullptr;
        if (pthread_setspecific(bufferKey, buf) != 0) {
            free(buf);
            return nullptr;
        }
    }
    return buf;
}

// "(code) text" into buf; "Unknown error code" when the system has no text.
void formatCode(int code, char* buf, size_t size)
{
    char scratch[bufferSize];
    scratch[0] = '\0';
    // The GNU strerror_r returns its text, which need not be in scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (text && *text)
        snprintf(buf, size, "(%d) %s", code, text);
    else
        snprintf(buf, size, "Unknown error %d", code);
}

} // namespace

const char* FormatError::formatError(SysErrorType type)
{
    const int code = errno;
    char* buf = threadBuffer();
    if (buf) {
        if (type == dllError)
            snprintf(buf, bufferSize, "DLL error");
        else
            formatCode(code, buf, bufferSize);
    }
    errno = code;
    return buf;
}

std::string FormatError::formatErrorAsString(SysErrorType type)
{
    const char* text = formatError(type);
    return text ? std::string(text) : std::string();
}

std::string FormatError::formatErrorFromErrorCode(int code)
{
    char buf[bufferSize];
    formatCode(code, buf, sizeof buf);
    return buf;
}

} // namespace tavir::tiny
