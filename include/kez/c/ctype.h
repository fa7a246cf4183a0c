/* The engine's C library: character classes. */
#ifndef KEZ_C_CTYPE_H
#define KEZ_C_CTYPE_H

#include "../kez_api.h"

KEZ_BEGIN_DECLS

/* The classes of LC_CTYPE: the "C" locale's, or the native locale's for
   the bytes of its code page. The argument is a value of unsigned char or
   EOF; any other value belongs to no class, and tolower/toupper give it
   back unchanged. */
KEZ_API int isalnum(int c) KEZ_CLIB_NAME(isalnum);
KEZ_API int isalpha(int c) KEZ_CLIB_NAME(isalpha);
KEZ_API int iscntrl(int c) KEZ_CLIB_NAME(iscntrl);
KEZ_API int isdigit(int c) KEZ_CLIB_NAME(isdigit);
KEZ_API int isgraph(int c) KEZ_CLIB_NAME(isgraph);
KEZ_API int islower(int c) KEZ_CLIB_NAME(islower);
KEZ_API int isprint(int c) KEZ_CLIB_NAME(isprint);
KEZ_API int ispunct(int c) KEZ_CLIB_NAME(ispunct);
KEZ_API int isspace(int c) KEZ_CLIB_NAME(isspace);
KEZ_API int isupper(int c) KEZ_CLIB_NAME(isupper);
KEZ_API int isxdigit(int c) KEZ_CLIB_NAME(isxdigit);
KEZ_API int tolower(int c) KEZ_CLIB_NAME(tolower);
KEZ_API int toupper(int c) KEZ_CLIB_NAME(toupper);

KEZ_END_DECLS

#endif
