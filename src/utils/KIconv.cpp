#include "utils/KIconv.h"

#include "tiny/Dll.h"
#include "utils/PathUtils.h"
#include "utils/SingletonFactory.h"

#include <cerrno>
#include <mutex>

namespace tavir::utils {

void* const KIconv::INVALID_ICONV_DESC = reinterpret_cast<void*>(-1);

namespace {

template <class F> SharedLibraryFunction<F>* slot()
{
    return SingletonFactory<SharedLibraryFunction<F>, DestroyAtExit>::getInstance();
}

// Looks the entry point up once; the slot keeps the library it came from.
template <class F>
void fill(SharedLibraryFunction<F>* target, const DllHandle::Ptr& library, const char* name)
{
    if (target->function.load() || !library || !tiny::checkDLL(library->handle()))
        return;
    tiny::KMutexLocker lock(target->mutex);
    if (target->function.load())
        return;
    F function = reinterpret_cast<F>(tiny::dllSym(library->handle(), name));
    if (function) {
        target->library = library;
        target->function.store(function);
    }
}

std::once_flag defaultLoad;
std::atomic<bool> initialised{false};

} // namespace

std::string KIconv::defaultLibraryDir()
{
    std::string folder = executableFolder();
    return folder.empty() ? std::string() : folder + "/../lib/zorp";
}

bool KIconv::init(const std::string& libName, const std::string& dir)
{
    initialised.store(true);
    std::string path = dir.empty() ? std::string() : normalizePath(dir, true, true);
    path += libName.empty() ? DEFAULT_LIBRARY_NAME : libName;
    DllHandle::Ptr handle
        = SingletonFactory<SharedLibraryLoader, DestroyAtExit>::getInstance()->getDllHandle(path);
    return handle && tiny::checkDLL(handle->handle());
}

KIconv::KIconv()
    : cd_(INVALID_ICONV_DESC)
{
    // A program that never ran the engine's initialisation (a tool, a test)
    // still finds the library beside its executable; the system's library
    // search would not look there.
    std::call_once(defaultLoad, [] {
        if (!initialised.load() && !init(DEFAULT_LIBRARY_NAME, defaultLibraryDir()))
            init(DEFAULT_LIBRARY_NAME, std::string());
    });
    library_ = SingletonFactory<SharedLibraryLoader, DestroyAtExit>::getInstance()->getDllHandle(
        std::string());
    open_ = slot<OpenFunction>();
    convert_ = slot<ConvertFunction>();
    close_ = slot<CloseFunction>();
    error_ = slot<ErrorFunction>();
    fill(open_, library_, "vxiconv_open");
    fill(convert_, library_, "vxiconv");
    fill(close_, library_, "vxiconv_close");
}

KIconv::~KIconv()
{
    close();
}

bool KIconv::open(const char* to, const char* from)
{
    if (cd_ != INVALID_ICONV_DESC) {
        CloseFunction closeEntry = close_->function.load();
        if (closeEntry && closeEntry(cd_) == 0)
            cd_ = INVALID_ICONV_DESC;
    }
    OpenFunction openEntry = open_->function.load();
    if (!openEntry)
        return false;
    cd_ = openEntry(to, from);
    return cd_ != INVALID_ICONV_DESC;
}

size_t KIconv::vxiconv(const char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    ConvertFunction convertEntry = convert_->function.load();
    if (cd_ == INVALID_ICONV_DESC || !convertEntry) {
        // A stale errno here (E2BIG from an earlier call, say) would send a
        // caller round its retry loop for ever.
        errno = EBADF;
        return static_cast<size_t>(-1);
    }
    return convertEntry(cd_, in, inLeft, out, outLeft);
}

bool KIconv::close()
{
    if (cd_ == INVALID_ICONV_DESC)
        return true;
    CloseFunction closeEntry = close_->function.load();
    if (!closeEntry || closeEntry(cd_) != 0)
        return false;
    cd_ = INVALID_ICONV_DESC;
    return true;
}

int KIconv::get_error()
{
    ErrorFunction errorEntry = error_->function.load();
    return errorEntry ? errorEntry() : -1;
}

void* KIconv::getFuncAddress(const char* name)
{
    if (!library_ || !tiny::checkDLL(library_->handle()))
        return nullptr;
    return tiny::dllSym(library_->handle(), name);
}

} // namespace tavir::utils
