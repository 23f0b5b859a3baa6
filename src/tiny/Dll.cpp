#include "tiny/Dll.h"

namespace tavir::tiny {

void* dllOpen(const char* file, int flags)
{
    return dlopen(file, flags);
}

void* dllSym(void* handle, const char* symbol)
{
    return dlsym(handle, symbol);
}

int dllClose(void* handle)
{
    return dlclose(handle);
}

const char* dllError()
{
    // dlerror gives null when nothing failed; callers build strings from it.
    const char* text = dlerror();
    return text ? text : "";
}

bool checkDLL(const void* handle)
{
    return handle != nullptr;
}

bool checkSymbol(const void* symbol)
{
    return symbol != nullptr;
}

} // namespace tavir::tiny
