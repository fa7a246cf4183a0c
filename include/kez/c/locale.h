/* The engine's C library: locales. Each category is either the "C" locale
   or the system's native locale. */
#ifndef KEZ_C_LOCALE_H
#define KEZ_C_LOCALE_H

#include <stddef.h>

#include "../kez_api.h"

KEZ_BEGIN_DECLS

#define LC_ALL 0
#define LC_COLLATE 1
#define LC_CTYPE 2
#define LC_MONETARY 3
#define LC_NUMERIC 4
#define LC_TIME 5

struct lconv {
    char *decimal_point;
    char *thousands_sep;
    char *grouping;
    char *int_curr_symbol;
    char *currency_symbol;
    char *mon_decimal_point;
    char *mon_thousands_sep;
    char *mon_grouping;
    char *positive_sign;
    char *negative_sign;
    char int_frac_digits;
    char frac_digits;
    char p_cs_precedes;
    char p_sep_by_space;
    char n_cs_precedes;
    char n_sep_by_space;
    char p_sign_posn;
    char n_sign_posn;
    char int_p_cs_precedes;
    char int_p_sep_by_space;
    char int_n_cs_precedes;
    char int_n_sep_by_space;
    char int_p_sign_posn;
    char int_n_sign_posn;
};

/* name NULL: the current name; "C": the "C" locale; "": the native locale,
   also accepted under the name the system gives it. For LC_ALL a name per
   category, LC_COLLATE to LC_TIME, separated by ':' is accepted too, and
   that is the name LC_ALL reports when the categories differ. An unknown
   name gives NULL and changes nothing. */
KEZ_API char *setlocale(int category, const char *name) KEZ_CLIB_NAME(setlocale);
/* The number and money formats of LC_NUMERIC and LC_MONETARY; the next
   setlocale may change the structure. */
KEZ_API struct lconv *localeconv(void) KEZ_CLIB_NAME(localeconv);

KEZ_END_DECLS

#endif
