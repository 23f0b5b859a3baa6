#pragma once
// The front end of the conversion library, which is loaded at run time and
// reached through three entry points with the POSIX iconv contract:
// "vxiconv_open", "vxiconv" and "vxiconv_close". One KIconv holds one
// conversion descriptor; the entry points are looked up once per process and
// kept in process-wide slots.
#include "tiny/KMutex.h"
#include "utils/SharedLibraryLoader.h"

#include <atomic>
#include <cstddef>
#include <string>

namespace tavir::utils {

// One process-wide slot for one entry point of type F. The slot keeps a
// reference to the library it was looked up in, so that the address stays
// valid for as long as the slot can hand it out, whatever the loader later
// opens or closes.
template <class F> class SharedLibraryFunction {
public:
    SharedLibraryFunction()
        : function(nullptr)
    {
    }

    // Read without the lock; set once, under it.
    std::atomic<F> function;
    tiny::KMutex mutex; // serialises filling the slot
    DllHandle::Ptr library TAVIR_GUARDED_BY(mutex);
};

class KIconv {
public:
    using OpenFunction = void* (*)(const char* to, const char* from);
    using ConvertFunction
        = size_t (*)(void* cd, const char** in, size_t* inLeft, char** out, size_t* outLeft);
    using CloseFunction = int (*)(void* cd);
    using ErrorFunction = int (*)();

    // The library file the engine loads (and `init` uses when given none).
    // (inline, so that it is ready before any static object that includes
    // this header is built)
    inline static const std::string DEFAULT_LIBRARY_NAME = "libvxiconv.so.2";
    static void* const INVALID_ICONV_DESC;

    // Loads libName (or DEFAULT_LIBRARY_NAME when empty) from `dir` (one
    // trailing '/' is ensured; an empty dir means the system's library
    // search). True iff the library was loaded.
    static bool init(const std::string& libName, const std::string& dir);

    // The folder the program's run-time libraries live in:
    // "<folder of the executable>/../lib/zorp", the same in the build tree
    // and in an installed tree, whatever the working directory.
    static std::string defaultLibraryDir();

    // Takes the current library from the loader and fills the entry-point
    // slots. Never fails; without library or symbols nothing can be opened.
    // When no library was loaded in this process yet, the one beside the
    // executable is loaded first.
    KIconv();
    ~KIconv();
    KIconv(const KIconv&) = delete;
    KIconv& operator=(const KIconv&) = delete;

    // Opens a descriptor converting from `from` to `to` (target first, as
    // iconv_open), closing one that is open. True iff one was obtained.
    bool open(const char* to, const char* from);
    // One iconv call on the open descriptor. Without a descriptor or convert
    // entry it returns (size_t)-1 with errno EBADF.
    size_t vxiconv(const char** in, size_t* inLeft, char** out, size_t* outLeft);
    // True when nothing is open or the descriptor was closed.
    bool close();
    // Always -1: the library has no error-code entry.
    int get_error();
    // dlsym in the held library; null without one.
    void* getFuncAddress(const char* name);

    void* descriptor() const { return cd_; }

private:
    SharedLibraryFunction<OpenFunction>* open_;
    SharedLibraryFunction<CloseFunction>* close_;
    SharedLibraryFunction<ConvertFunction>* convert_;
    SharedLibraryFunction<ErrorFunction>* error_;
    void* cd_;
    DllHandle::Ptr library_;
};

} // namespace tavir::utils
