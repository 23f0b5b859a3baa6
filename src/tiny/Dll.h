#pragma once
// Thin dynamic-loading functions.
#include <dlfcn.h>

namespace tavir::tiny {

void* dllOpen(const char* file, int flags = RTLD_LAZY);
void* dllSym(void* handle, const char* symbol);
int dllClose(void* handle);
// Text of the last dynamic-loading failure; "" when there is none.
const char* dllError();
bool checkDLL(const void* handle);
bool checkSymbol(const void* symbol);

} // namespace tavir::tiny
