#include "utils/SharedLibraryLoader.h"

#include "tiny/Dll.h"

namespace tavir::utils {

const char* const LIBICONV_NAME = "libvxiconv.so.2";

DllHandle::DllHandle(const std::string& file)
    : handle_(tiny::dllOpen(file.c_str(), RTLD_LAZY))
{
}

DllHandle::~DllHandle()
{
    if (handle_)
        tiny::dllClose(handle_);
}

DllHandle::Ptr DllHandle::create(const std::string& file)
{
    return Ptr(new DllHandle(file), &DllHandle::deleter);
}

void DllHandle::deleter(DllHandle* handle)
{
    delete handle; // the destructor closes the library
}

void* DllHandle::symbol(const char* name) const
{
    return handle_ ? tiny::dllSym(handle_, name) : nullptr;
}

bool checkDLL(const DllHandle::Ptr& handle)
{
    return handle && tiny::checkDLL(handle->handle());
}

DllHandle::Ptr SharedLibraryLoader::getDllHandle(const std::string& file)
{
    tiny::KMutexLocker lock(mutex_);
    std::string wanted = file;
    if (wanted.empty())
        wanted = name_.empty() ? std::string(LIBICONV_NAME) : name_;
    if (handle_ && wanted == name_)
        return handle_;
    name_ = wanted;
    handle_.reset(); // closes the old library unless someone still holds it
    handle_ = DllHandle::create(wanted);
    return handle_;
}

std::string SharedLibraryLoader::name()
{
    tiny::KMutexLocker lock(mutex_);
    return name_;
}

} // namespace tavir::utils
