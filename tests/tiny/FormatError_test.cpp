#include "tiny/FormatError.h"
#include "tiny/ThreadStorage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

using namespace tavir::tiny;

TEST(FormatError, TextsMatchTheCLibrary)
{
    for (int code : {ENOENT, EACCES, ECONNREFUSED, EPIPE}) {
        EXPECT_EQ("(" + std::to_string(code) + ") " + strerror(code),
            FormatError::formatErrorFromErrorCode(code));
    }
    EXPECT_EQ("(2) No such file or directory", FormatError::formatErrorFromErrorCode(2));
    EXPECT_EQ("(99999) Unknown error 99999", FormatError::formatErrorFromErrorCode(99999));
}

TEST(FormatError, LastErrorAndDllError)
{
    errno = EACCES;
    const char* text = FormatError::formatError(FormatError::sysError);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(std::string("(13) ") + strerror(EACCES), text);
    EXPECT_EQ(EACCES, errno); // left as it was
    EXPECT_EQ(text, FormatError::formatError(FormatError::dllError)); // same buffer
    EXPECT_STREQ("DLL error", text);
    errno = ENOENT;
    EXPECT_EQ("(2) No such file or directory", FormatError::formatErrorAsString());
}

TEST(FormatError, BufferIsPerThread)
{
    errno = EPIPE;
    const char* mine = FormatError::formatError();
    std::string theirs;
    const char* theirBuffer = nullptr;
    std::thread t([&] {
        errno = ENOENT;
        theirBuffer = FormatError::formatError();
        theirs = theirBuffer;
    });
    t.join();
    EXPECT_NE(mine, theirBuffer);
    EXPECT_EQ(std::string("(32) ") + strerror(EPIPE), mine);
    EXPECT_EQ("(2) No such file or directory", theirs);
}

TEST(ThreadStorage, ValuesArePerThread)
{
    KTlsHandle key = kTlsAlloc();
    ASSERT_NE(nullptr, key);
    int a = 1, b = 2;
    EXPECT_EQ(nullptr, kTlsGetValue(key));
    ASSERT_TRUE(kTlsSetValue(key, &a));
    void* seen = &b;
    std::thread t([&] {
        seen = kTlsGetValue(key);
        kTlsSetValue(key, &b);
    });
    t.join();
    EXPECT_EQ(nullptr, seen);
    EXPECT_EQ(&a, kTlsGetValue(key));
    EXPECT_TRUE(kTlsFree(key));
    EXPECT_FALSE(kTlsFree(nullptr));
    EXPECT_FALSE(kTlsSetValue(nullptr, &a));
    EXPECT_EQ(nullptr, kTlsGetValue(nullptr));
}

TEST(ThreadStorage, TlsObject)
{
    TLS<void> slot;
    ASSERT_TRUE(slot.isValid());
    EXPECT_EQ(nullptr, slot.get());
    int v = 0;
    EXPECT_TRUE(slot.set(&v));
    EXPECT_EQ(&v, slot.get());
    void* other = &v;
    std::thread t([&] { other = slot.get(); });
    t.join();
    EXPECT_EQ(nullptr, other);
}
