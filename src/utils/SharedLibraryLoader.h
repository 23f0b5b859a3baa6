#pragma once
// Shared handles of run-time loaded libraries, and the process-wide loader
// through which the conversion library is found.
#include "tiny/KMutex.h"

#include <memory>
#include <string>

namespace tavir::utils {

// The conversion library's file name.
extern const char* const LIBICONV_NAME;

class DllHandle {
public:
    typedef std::shared_ptr<DllHandle> Ptr;

    // Loads `file` (RTLD_LAZY); a failure leaves the handle null.
    explicit DllHandle(const std::string& file);
    ~DllHandle();
    DllHandle(const DllHandle&) = delete;
    DllHandle& operator=(const DllHandle&) = delete;

    static Ptr create(const std::string& file);
    // Closes the library (when loaded) and deletes the object.
    static void deleter(DllHandle* handle);

    void* handle() const { return handle_; }
    void* symbol(const char* name) const;
    bool isLoaded() const { return handle_ != nullptr; }

private:
    void* handle_;
};

bool checkDLL(const DllHandle::Ptr& handle);

class SharedLibraryLoader {
public:
    SharedLibraryLoader() = default;

    // The handle of `file` (empty: the library held, else LIBICONV_NAME).
    // One library is held at a time; asking for the held name gives the
    // held handle again, even when it failed to load.
    DllHandle::Ptr getDllHandle(const std::string& file);

    std::string name();

private:
    tavir::tiny::KMutex mutex_;
    std::string name_;
    DllHandle::Ptr handle_;
};

} // namespace tavir::utils
