#include "tiny/ThreadStorage.h"

#include <pthread.h>

#include <new>

namespace tavir::tiny {

KTlsHandle kTlsAlloc()
{
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return nullptr;
    KTlsHandle handle = new (std::nothrow) unsigned long(key);
    if (!handle)
        pthread_key_delete(key);
    return handle;
}

bool kTlsFree(KTlsHandle handle)
{
    if (!handle)
        return false;
    if (pthread_key_delete(static_cast<pthread_key_t>(*handle)) != 0)
        return false;
    delete handle;
    return true;
}

void* kTlsGetValue(KTlsHandle handle)
{
    return handle ? pthread_getspecific(static_cast<pthread_key_t>(*handle)) : nullptr;
}

bool kTlsSetValue(KTlsHandle handle, void* value)
{
    return handle && pthread_setspecific(static_cast<pthread_key_t>(*handle), value) == 0;
}

} // namespace tavir::tiny
