// SPDX-License-Identifier: MIT
// Clang's thread-safety annotations: what each lock guards and which functions need it held.
// The analysis runs in the clang build with -Wthread-safety; other compilers see nothing.
// Installed because every public header includes it; a program never includes it itself.
#pragma once

#if defined(__clang__)
#define ID_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ID_THREAD_ANNOTATION(x)
#endif

/// A class that is a lock.
#define ID_CAPABILITY(x) ID_THREAD_ANNOTATION(capability(x))
/// A class whose objects hold a lock for their lifetime.
#define ID_SCOPED_CAPABILITY ID_THREAD_ANNOTATION(scoped_lockable)
/// A field that may be used only while the given lock is held.
#define ID_GUARDED_BY(x) ID_THREAD_ANNOTATION(guarded_by(x))
/// A function that must be called with the given lock held.
#define ID_REQUIRES(...) ID_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function that takes the given lock (or, on a lock class, itself) and keeps it.
#define ID_ACQUIRE(...) ID_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that lets go of the given lock (or, on a lock class, itself).
#define ID_RELEASE(...) ID_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that takes the lock when it returns the given value.
#define ID_TRY_ACQUIRE(...) ID_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function that must not be called with the given lock held (it takes it).
#define ID_EXCLUDES(...) ID_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that returns a reference to the given lock.
#define ID_RETURN_CAPABILITY(x) ID_THREAD_ANNOTATION(lock_returned(x))
/// A function the analysis skips (where the lock is held through means it cannot follow).
#define ID_NO_THREAD_SAFETY_ANALYSIS ID_THREAD_ANNOTATION(no_thread_safety_analysis)
