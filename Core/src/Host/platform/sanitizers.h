// Whether this build runs under the address or thread sanitizer, whose runtimes bring
// allocators of their own and reserve terabytes of shadow memory: memory caps are theirs.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZUDOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZUDOR_SANITIZED 1
#endif
#endif

// The thread sanitizer in particular: it cannot see memory the kernel shares with the process
// and maps without the C library (an io_uring ring), and reports races in it that are not.
#if defined(__SANITIZE_THREAD__)
#define ZUDOR_THREAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZUDOR_THREAD_SANITIZED 1
#endif
#endif
