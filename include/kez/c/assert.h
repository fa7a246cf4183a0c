/* The engine's C library: assertions. A failed assertion prints
   "Assertion failed: ..." on stderr and ends the program with status 1.
   Included again, it follows the NDEBUG setting of that moment. */
#include "../kez_api.h"

KEZ_BEGIN_DECLS
KEZ_API KEZ_NORETURN void _assert(const char *expression, const char *file, int line);
KEZ_API KEZ_NORETURN void _assert_func(const char *expression, const char *file, const char *function, int line);
KEZ_END_DECLS

#undef assert
#if defined(NDEBUG)
#define assert(expression) ((void)0)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L || defined(__cplusplus)
#define assert(expression) ((expression) ? (void)0 : _assert_func(#expression, __FILE__, __func__, __LINE__))
#else
#define assert(expression) ((expression) ? (void)0 : _assert(#expression, __FILE__, __LINE__))
#endif
