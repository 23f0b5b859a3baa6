#include "tiny/Dll.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <zlib.h>

using namespace tavir::tiny;

TEST(Dll, LoadsARealLibraryByName)
{
    void* z = dllOpen("libz.so.1", RTLD_LAZY);
    ASSERT_TRUE(checkDLL(z)) << dllError();
    auto version = reinterpret_cast<const char* (*)()>(dllSym(z, "zlibVersion"));
    ASSERT_TRUE(checkSymbol(reinterpret_cast<void*>(version)));
    // The loaded library is the one zlib's own header describes.
    EXPECT_EQ(std::string(ZLIB_VERSION), version());
    EXPECT_EQ(nullptr, dllSym(z, "no_such_symbol_here"));
    EXPECT_NE(std::string(), dllError());
    EXPECT_EQ(0, dllClose(z));

    void* m = dllOpen("libm.so.6");
    ASSERT_NE(nullptr, m);
    auto cosine = reinterpret_cast<double (*)(double)>(dllSym(m, "cos"));
    ASSERT_NE(nullptr, cosine);
    EXPECT_EQ(std::cos(0.5), cosine(0.5));
    dllClose(m);
}

TEST(Dll, MissingLibrary)
{
    void* h = dllOpen("libdoes-not-exist-here.so.9", RTLD_LAZY);
    EXPECT_FALSE(checkDLL(h));
    std::string err = dllError();
    EXPECT_NE(std::string::npos, err.find("libdoes-not-exist-here.so.9")) << err;
    // Nothing failed since: empty text, never null.
    ASSERT_NE(nullptr, dllError());
    EXPECT_STREQ("", dllError());
    EXPECT_FALSE(checkSymbol(nullptr));
}
