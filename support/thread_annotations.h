#pragma once
// Annotations that tie data to the lock guarding it, checked by Clang's -Wthread-safety:
// in a Clang build, reaching GUARDED_BY data without its lock, calling a REQUIRES function
// without it, or leaving a scope with a lock still held is a compile error. Other
// compilers (GCC, MSVC) see nothing; the annotations change no generated code.
#if defined(__clang__)
#define THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define THREAD_ANNOTATION(attribute)
#endif

// A class whose objects are locks.
#define CAPABILITY(kind) THREAD_ANNOTATION(capability(kind))
// A class whose objects hold a lock from their construction to their destruction.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// A member or global that is read and written only with the lock held.
#define GUARDED_BY(lock) THREAD_ANNOTATION(guarded_by(lock))
// A function that the caller calls with the locks held.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that the caller calls without the locks, because it takes them itself.
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the locks (or, on a lock's own member, that lock) and returns
// holding them.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that releases the locks (or, on a lock's own member, that lock).
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function the analysis does not look into: only the primitives that a lock wraps.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)
