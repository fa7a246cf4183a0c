/* A user program of the engine's C library, built with nothing but its
   headers (kez/c first on the include path) at several optimisation levels
   and with _FORTIFY_SOURCE: every call, including those an optimiser
   rewrites into other calls, must reach the engine. proof_table.c
   (generated) takes the address of every function the library exports. */
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <io.h>
#include <math.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/test_hooks.h"

typedef void (*any_function)(void);
extern any_function const kez_header_proof_table[];

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        ++failures;
        fputs("header proof: ", stderr);
        fputs(what, stderr);
        fputs("\n", stderr);
    }
}

/* Calls an optimiser likes to rewrite: puts for a constant line, fwrite
   for fputs of a constant, putchar for a one-character string, calloc for
   malloc + memset, memcpy/memset/strlen for loops and constants. */
static void rewrite_triggers(char *scratch, unsigned n) {
    fputs("fputs constant\n", stdout);
    fputs("x", stdout);
    fputc('\n', stdout);
    putchar('p');
    putchar('\n');
    puts("puts constant");
    fwrite("fwrite\n", 1, 7, stdout);
    /* The printf family: puts, putchar and fwrite for constant formats,
       strcpy and memcpy for sprintf of a string. */
    printf("printf constant\n");
    printf("%s\n", "printf %s");
    printf("q");
    printf("%c", '\n');
    fprintf(stdout, "fprintf constant\n");
    fprintf(stdout, "%s", "fprintf %s\n");
    char formatted[32];
    check(sprintf(formatted, "%s", "sprintf") == 7 && strcmp(formatted, "sprintf") == 0, "sprintf of a string");
    check(snprintf(formatted, sizeof formatted, "%lld|%.2f", 1LL << 40, 2.5) == 18 &&
              strcmp(formatted, "1099511627776|2.50") == 0,
          "snprintf");
    char *block = malloc(n);
    if (block != NULL) {
        memset(block, 0, n);
        check(block[n - 1] == 0, "calloc-style block");
        free(block);
    }
    for (unsigned i = 0; i < n; ++i) scratch[i] = (char)('a' + i % 26);
    scratch[n - 1] = '\0';
    char copy[64];
    memcpy(copy, scratch, n);
    strcpy(copy, "strcpy");
    strcat(copy, "+strcat");
    check(strlen(copy) == 13, "strlen of copies");
    check(strcmp(copy, "strcpy+strcat") == 0, "strcmp");
    check(strchr(copy, '+') == copy + 6, "strchr");
    check(isdigit('7') && !isalpha('7') && toupper('q') == 'Q', "ctype");
    check(abs(-5) == 5 && atoi("42") == 42 && strtol("-17", NULL, 10) == -17, "stdlib conversions");
    check(strtod("2.5", NULL) == 2.5, "strtod");
    /* sin and cos of one angle become sincos, pow(2, x) becomes exp2. */
    volatile double angle = 0.5 + n * 0.0;
    const double s = sin(angle), c = cos(angle);
    check(s * s + c * c > 0.999999 && s * s + c * c < 1.000001, "sin and cos");
    check(pow(2.0, angle) > 1.41 && pow(2.0, angle) < 1.42, "pow of 2");
}

/* Non-local jumps: from deep inside nested calls back to setjmp, which
   then returns the value given (1 for 0); a thousand round trips keep the
   stack where it was; values not changed after setjmp survive the jump. */
static jmp_buf jump_target;
static volatile int frames_entered;

static void jump_from_depth(int depth, int value) {
    char frame[64];
    if (depth < 0) return;
    memset(frame, depth, sizeof frame);
    ++frames_entered;
    if (depth == 0) longjmp(jump_target, value);
    jump_from_depth(depth - 1, value + frame[depth % 64] - depth);
    check(0, "longjmp came back");
}

static void non_local_jumps(unsigned seed) {
    const double kept_real = 1.25 * seed;
    const long long kept_integer = 1234567890123LL * seed;
    volatile int round_trips = 0;
    volatile int values_seen = 0;
    volatile int returns = 0;
    int r = setjmp(jump_target);
    if (++returns == 1) {
        check(r == 0, "setjmp returns 0 when called");
        jump_from_depth(5, 0);
    } else if (r == 0) {
        check(0, "setjmp returned 0 after a jump");
        return;
    } else {
        values_seen += r;
        if (++round_trips < 1000) jump_from_depth(round_trips % 7, round_trips % 3);
    }
    /* r is 1 (for value 0), else 1, 2, 1, ... as the values cycle 0, 1, 2. */
    check(round_trips == 1000, "a thousand jumps");
    check(values_seen == 1 + 333 * 1 + 333 * 2 + 333 * 1, "setjmp returned the values given");
    check(frames_entered > 1000, "the jumps came from nested calls");
    check(kept_real == 1.25 * seed && kept_integer == 1234567890123LL * seed, "values kept across the jumps");
}

int main(int argc, char **argv) {
    (void)argv;
    /* Every export referenced: the table is read through a volatile. */
    int entries = 0;
    for (any_function const *f = kez_header_proof_table; *f != 0; ++f) {
        any_function volatile g = *f;
        entries += g != 0;
    }
    check(entries > 50, "the table of exports");

    KezTest_RecordConsole(1);
    char scratch[64];
    rewrite_triggers(scratch, (unsigned)(argc + 40));
    check(fflush(stdout) == 0, "fflush");
    char text[512];
    KezTest_ConsoleText(text, (int)sizeof text);
    KezTest_RecordConsole(0);
    check(strcmp(text,
                 "fputs constant\nx\np\nputs constant\nfwrite\nprintf constant\nprintf %s\nq\nfprintf constant\n"
                 "fprintf %s\n") == 0,
          "standard output reached the recorder");

    non_local_jumps((unsigned)argc);
    check(strcmp(strerror(35), "File name too long") == 0, "the engine's strerror");
    errno = 0;
    check(fopen("", "q") == NULL && errno == EINVAL, "the engine's errno");
    /* The engine's time_t is unsigned and counts from 1900. */
    time_t zero = 0;
    char day[16];
    check((time_t)-1 > zero && gmtime(&zero) != NULL && strftime(day, sizeof day, "%Y-%m-%d %a", gmtime(&zero)) == 14 &&
              strcmp(day, "1900-01-01 Mon") == 0,
          "the engine's time");
    assert(failures == 0);
    return failures == 0 ? 0 : 1;
}
