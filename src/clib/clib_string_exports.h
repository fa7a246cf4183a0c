// The C library's string, character, utility and conversion exports. Names
// the host C library also has are defined as kez_<name> (see
// clib_exports.h); the others under their own names.
#pragma once

#include <stddef.h>

#include "kez/kez_api.h"

// The public header's div_t, ldiv_t and lldiv_t: the same layout.
struct KezDiv {
    int quot;
    int rem;
};
struct KezLDiv {
    long quot;
    long rem;
};
struct KezLLDiv {
    long long quot;
    long long rem;
};

extern "C" {
KEZ_API void *kez_memchr(const void *block, int c, size_t size);
KEZ_API int kez_memcmp(const void *a, const void *b, size_t size);
KEZ_API void *kez_memcpy(void *dest, const void *src, size_t size);
KEZ_API void *kez_memmove(void *dest, const void *src, size_t size);
KEZ_API void *kez_memset(void *dest, int c, size_t size);
KEZ_API char *kez_strcat(char *dest, const char *src);
KEZ_API char *kez_strchr(const char *text, int c);
KEZ_API int kez_strcmp(const char *a, const char *b);
KEZ_API int kez_strcoll(const char *a, const char *b);
KEZ_API char *kez_strcpy(char *dest, const char *src);
KEZ_API size_t kez_strcspn(const char *text, const char *reject);
KEZ_API size_t kez_strlen(const char *text);
KEZ_API char *kez_strncat(char *dest, const char *src, size_t count);
KEZ_API int kez_strncmp(const char *a, const char *b, size_t count);
KEZ_API char *kez_strncpy(char *dest, const char *src, size_t count);
KEZ_API char *kez_strpbrk(const char *text, const char *accept);
KEZ_API char *kez_strrchr(const char *text, int c);
KEZ_API size_t kez_strspn(const char *text, const char *accept);
KEZ_API char *kez_strstr(const char *text, const char *pattern);
KEZ_API char *kez_strtok(char *text, const char *delimiters);
KEZ_API size_t kez_strxfrm(char *dest, const char *src, size_t size);
KEZ_API int stricmp(const char *a, const char *b);
KEZ_API int strnicmp(const char *a, const char *b, size_t count);

KEZ_API int kez_isalnum(int c);
KEZ_API int kez_isalpha(int c);
KEZ_API int kez_iscntrl(int c);
KEZ_API int kez_isdigit(int c);
KEZ_API int kez_isgraph(int c);
KEZ_API int kez_islower(int c);
KEZ_API int kez_isprint(int c);
KEZ_API int kez_ispunct(int c);
KEZ_API int kez_isspace(int c);
KEZ_API int kez_isupper(int c);
KEZ_API int kez_isxdigit(int c);
KEZ_API int kez_tolower(int c);
KEZ_API int kez_toupper(int c);

KEZ_API int kez_abs(int n);
KEZ_API long kez_labs(long n);
KEZ_API long long kez_llabs(long long n);
KEZ_API long long Kez_llabs(long long n);
KEZ_API KezDiv kez_div(int numer, int denom);
KEZ_API KezLDiv kez_ldiv(long numer, long denom);
KEZ_API KezLLDiv kez_lldiv(long long numer, long long denom);
KEZ_API KezLLDiv Kez_lldiv(long long numer, long long denom);
KEZ_API int kez_rand(void);
KEZ_API void kez_srand(unsigned int seed);
KEZ_API void *kez_bsearch(const void *key, const void *base, size_t count, size_t size,
                          int (*compare)(const void *, const void *));
KEZ_API void kez_qsort(void *base, size_t count, size_t size, int (*compare)(const void *, const void *));
KEZ_API char *kez_getenv(const char *name);
KEZ_API int kez_putenv(const char *setting);
KEZ_API int Kez__putenv(const char *setting);

KEZ_API long kez_strtol(const char *text, char **end, int base);
KEZ_API unsigned long kez_strtoul(const char *text, char **end, int base);
KEZ_API long long kez_strtoll(const char *text, char **end, int base);
KEZ_API long long strtol64(const char *text, char **end, int base);
KEZ_API long long kez_strtoimax(const char *text, char **end, int base);
KEZ_API long long Kez_strtoll(const char *text, char **end, int base);
KEZ_API long long Kez_strtol64(const char *text, char **end, int base);
KEZ_API long long Kez_strtoimax(const char *text, char **end, int base);
KEZ_API unsigned long long kez_strtoull(const char *text, char **end, int base);
KEZ_API unsigned long long strtoul64(const char *text, char **end, int base);
KEZ_API unsigned long long kez_strtoumax(const char *text, char **end, int base);
KEZ_API unsigned long long Kez_strtoull(const char *text, char **end, int base);
KEZ_API unsigned long long Kez_strtoul64(const char *text, char **end, int base);
KEZ_API unsigned long long Kez_strtoumax(const char *text, char **end, int base);
KEZ_API int kez_atoi(const char *text);
KEZ_API long kez_atol(const char *text);
KEZ_API long long kez_atoll(const char *text);
KEZ_API long long atoi64(const char *text);
KEZ_API long long Kez_atoll(const char *text);
KEZ_API long long Kez_atoi64(const char *text);
KEZ_API double kez_strtod(const char *text, char **end);
KEZ_API double kez_atof(const char *text);
}
