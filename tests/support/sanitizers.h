#pragma once

// Whether the build runs under a sanitizer: each replaces glibc's allocator,
// and ThreadSanitizer runs a signal handler only when the thread next enters a
// call it intercepts, so that a loop retrying one system call never runs it
// (cases that need the handler at once run in the other builds).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PACPICK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PACPICK_SANITIZED 1
#endif
#endif
#if !defined(PACPICK_SANITIZED)
#define PACPICK_SANITIZED 0
#endif
