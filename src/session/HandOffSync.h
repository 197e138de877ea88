#pragma once
// ThreadSanitizer cannot see through Qt's event queue, which is not built
// with it: work handed to the UI thread through the queue tells it about the
// ordering itself, a release on the sending thread before the work is queued
// and an acquire on the UI thread before it runs, on the same address. Outside
// ThreadSanitizer builds these are nothing.
#if defined(__SANITIZE_THREAD__)
#define KESTRUM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTRUM_TSAN 1
#endif
#endif

#ifdef KESTRUM_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define HANDOFF_RELEASE(p) __tsan_release((void*)(p))
#define HANDOFF_ACQUIRE(p) __tsan_acquire((void*)(p))
#else
#define HANDOFF_RELEASE(p) ((void)(p))
#define HANDOFF_ACQUIRE(p) ((void)(p))
#endif
