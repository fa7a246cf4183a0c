/* Stand-in for the real-time target's support library. RebootSystem does not
   restart anything: it records the call in the file named by the
   environment variable KEZ_FAKE_REBOOT_MARKER. */
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#define FAKE_EXPORT __declspec(dllexport)
#else
#define FAKE_EXPORT __attribute__((visibility("default")))
#endif

FAKE_EXPORT void RebootSystem(void) {
    const char *marker = getenv("KEZ_FAKE_REBOOT_MARKER");
    FILE *f = marker != NULL ? fopen(marker, "w") : NULL;
    if (f != NULL) {
        fputs("RebootSystem\n", f);
        fclose(f);
    }
}
