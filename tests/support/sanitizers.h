// Which sanitizer a test program is built with: KEZ_TEST_TSAN, KEZ_TEST_ASAN.
// Tests scale their load down under them, and skip what they cannot follow.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KEZ_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEZ_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KEZ_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEZ_TEST_ASAN 1
#endif
#endif
