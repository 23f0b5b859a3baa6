#pragma once
// Per-thread storage keys: one void* per thread and key.
namespace tavir::tiny {

// A key handle (the key lives on the heap); null when no key could be made.
typedef unsigned long* KTlsHandle;

KTlsHandle kTlsAlloc();
// Deletes the key and frees the handle; false (handle kept) on failure.
bool kTlsFree(KTlsHandle handle);
void* kTlsGetValue(KTlsHandle handle);
bool kTlsSetValue(KTlsHandle handle, void* value);

template <typename T> class TLS;

// One key holding a void* per thread; the key is freed with the object.
template <> class TLS<void> {
public:
    TLS()
        : key_(kTlsAlloc())
    {
    }
    ~TLS()
    {
        if (key_)
            kTlsFree(key_);
    }
    TLS(const TLS&) = delete;
    TLS& operator=(const TLS&) = delete;

    bool isValid() const { return key_ != nullptr; }
    void* get() const { return key_ ? kTlsGetValue(key_) : nullptr; }
    bool set(void* value) { return key_ && kTlsSetValue(key_, value); }

private:
    KTlsHandle key_;
};

} // namespace tavir::tiny
