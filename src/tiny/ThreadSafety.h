#pragma once
// Which lock guards what, said in the code rather than in a comment. Clang
// checks these with -Wthread-safety (cmake/TavirOptions.cmake turns it on
// for clang); for other compilers they are nothing. The check does not know
// that a KMutex is recursive: a function that needs a lock its caller holds
// says so (TAVIR_REQUIRES) rather than taking it again.
#if defined(__clang__)
#define TAVIR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVIR_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define TAVIR_CAPABILITY(name) TAVIR_THREAD_ANNOTATION(capability(name))
// A class whose object holds a lock from its construction to its end.
#define TAVIR_SCOPED_CAPABILITY TAVIR_THREAD_ANNOTATION(scoped_lockable)
// A member read and written only with the lock held.
#define TAVIR_GUARDED_BY(lock) TAVIR_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is used only with the lock held.
#define TAVIR_PT_GUARDED_BY(lock) TAVIR_THREAD_ANNOTATION(pt_guarded_by(lock))
// A function that takes the lock (this object, or the ones named) and
// returns holding it; one that gives it up; one that takes it when its
// result is `taken`.
#define TAVIR_ACQUIRE(...) TAVIR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TAVIR_RELEASE(...) TAVIR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TAVIR_TRY_ACQUIRE(taken, ...)                                                              \
    TAVIR_THREAD_ANNOTATION(try_acquire_capability(taken, ##__VA_ARGS__))
// A function called only with the lock held; one never called so.
#define TAVIR_REQUIRES(...) TAVIR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TAVIR_EXCLUDES(...) TAVIR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function whose locking the check can't follow (a lock taken in one
// call and given up in another, as a library's locking callbacks do).
#define TAVIR_NO_THREAD_SAFETY_ANALYSIS TAVIR_THREAD_ANNOTATION(no_thread_safety_analysis)
