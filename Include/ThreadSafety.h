// Lock rules the compiler checks: Clang's thread-safety attributes behind macros that are empty
// for other compilers. A lock is a capability (ThreadLock is one); a member says which lock
// guards it (GUARDED_BY), a function which locks its caller must hold (REQUIRES) or must not hold
// (EXCLUDES, for a function that takes the lock itself). A clang build with -Wthread-safety
// (preset "thread-safety") checks every access against them.
#pragma once

#if defined(__clang__)
#define KRI_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define KRI_THREAD_ANNOTATION(attribute)
#endif

#define CAPABILITY(name) KRI_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY KRI_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) KRI_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) KRI_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) KRI_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KRI_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KRI_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KRI_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KRI_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
