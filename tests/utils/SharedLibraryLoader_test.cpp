#include "utils/SharedLibraryLoader.h"
#include "utils/SingletonFactory.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <thread>
#include <vector>

using namespace tavir::utils;

namespace {

bool isLoaded(const char* name)
{
    void* h = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (!h)
        return false;
    dlclose(h);
    return true;
}

} // namespace

TEST(DllHandle, LoadsAndCloses)
{
    if (isLoaded("libbz2.so.1.0"))
        GTEST_SKIP() << "libbz2 is already part of the process";
    {
        DllHandle::Ptr h = DllHandle::create("libbz2.so.1.0");
        ASSERT_TRUE(checkDLL(h));
        EXPECT_NE(nullptr, h->symbol("BZ2_bzlibVersion"));
        EXPECT_TRUE(isLoaded("libbz2.so.1.0"));
        DllHandle::Ptr copy = h;
        h.reset();
        EXPECT_TRUE(isLoaded("libbz2.so.1.0")); // still referenced
    }
    EXPECT_FALSE(isLoaded("libbz2.so.1.0"));
    DllHandle::Ptr missing = DllHandle::create("libnot-here.so.1");
    EXPECT_FALSE(checkDLL(missing));
    EXPECT_EQ(nullptr, missing->symbol("x"));
    EXPECT_FALSE(checkDLL(DllHandle::Ptr()));
}

TEST(SharedLibraryLoader, EmptyNameMeansTheConversionLibrary)
{
    EXPECT_STREQ("libvxiconv.so.2", LIBICONV_NAME);
    SharedLibraryLoader loader;
    DllHandle::Ptr a = loader.getDllHandle("");
    ASSERT_TRUE(a);
    EXPECT_EQ(LIBICONV_NAME, loader.name());
    EXPECT_EQ(a, loader.getDllHandle(""));
    EXPECT_EQ(a, loader.getDllHandle(LIBICONV_NAME));
}

TEST(SharedLibraryLoader, FailedLoadIsNotRetried)
{
    SharedLibraryLoader loader;
    DllHandle::Ptr a = loader.getDllHandle("libnot-here.so.1");
    ASSERT_TRUE(a);
    EXPECT_FALSE(checkDLL(a));
    EXPECT_EQ(a, loader.getDllHandle("libnot-here.so.1"));
    EXPECT_EQ(a, loader.getDllHandle("")); // the held name
    // Another name replaces it.
    DllHandle::Ptr z = loader.getDllHandle("libz.so.1");
    EXPECT_NE(a, z);
    EXPECT_TRUE(checkDLL(z));
    EXPECT_EQ("libz.so.1", loader.name());
}

TEST(SharedLibraryLoader, SecondLibraryClosesTheFirstWhenLastReferenceGoes)
{
    if (isLoaded("liblzma.so.5") || isLoaded("libbz2.so.1.0"))
        GTEST_SKIP() << "test libraries are already part of the process";
    SharedLibraryLoader loader;
    DllHandle::Ptr first = loader.getDllHandle("liblzma.so.5");
    ASSERT_TRUE(checkDLL(first));
    DllHandle::Ptr second = loader.getDllHandle("libbz2.so.1.0");
    ASSERT_TRUE(checkDLL(second));
    EXPECT_TRUE(isLoaded("liblzma.so.5")); // we still hold it
    first.reset();
    EXPECT_FALSE(isLoaded("liblzma.so.5"));
    EXPECT_TRUE(isLoaded("libbz2.so.1.0"));
    second.reset();
    EXPECT_TRUE(isLoaded("libbz2.so.1.0")); // the loader holds it
    loader.getDllHandle("libz.so.1");
    EXPECT_FALSE(isLoaded("libbz2.so.1.0"));
}

TEST(SharedLibraryLoader, ProcessWideLoaderFromManyThreads)
{
    std::vector<DllHandle::Ptr> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            got[i]
                = SingletonFactory<SharedLibraryLoader, DestroyAtExit>::getInstance()->getDllHandle(
                    "libz.so.1");
        });
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(checkDLL(got[0]));
    for (auto& h : got)
        EXPECT_EQ(got[0], h);
}
