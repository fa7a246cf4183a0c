/* A user module's life as the engine sees it.
 *
 * A module built by the environment registers its run-state change callbacks
 * with InitKezRTDll when it starts and says goodbye with CloseKezRTDll when it
 * ends. This program plays two modules (an instrument driver and an
 * acquisition module) and prints every notification it receives, so the
 * order in which the engine starts and stops callbacks can be seen:
 * START then ENABLE_CALLBACKS in registration order, DISABLE_CALLBACKS then
 * STOP in reverse order. In between, the acquisition module scans its
 * channels on a thread pool (acquisition.c).
 */
#include "kez/ansi_c.h" /* the engine's C library */
#include "kez/kez.h"

static const char *state_name(int state) {
    switch (state) {
        case KEZ_RUN_STATE_START: return "START";
        case KEZ_RUN_STATE_ENABLE_CALLBACKS: return "ENABLE_CALLBACKS";
        case KEZ_RUN_STATE_DISABLE_CALLBACKS: return "DISABLE_CALLBACKS";
        case KEZ_RUN_STATE_STOP: return "STOP";
        default: return "?";
    }
}

static void driver_callback(int state) { printf("  instrument driver    <- %s\n", state_name(state)); }
static void acquisition_callback(int state) { printf("  acquisition module   <- %s\n", state_name(state)); }
static void acquisition_logger(int state) { printf("  acquisition logger   <- %s\n", state_name(state)); }

/* Any address unique to a module serves as its handle here. */
static int driver_module;
static int acquisition_module;

int run_acquisition(void); /* acquisition.c */

int main(void) {
    int timing;
    KezRunStateCallback driver_list[] = {driver_callback, NULL};
    KezRunStateCallback acquisition_list[] = {acquisition_callback, acquisition_logger, NULL};
    char *errors;

    printf("kez run-time engine demo: two modules, their run-state notifications, and an acquisition\n");

    printf("driver module starts:\n");
    if (!InitKezRTDll(&driver_module, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, driver_list)) {
        printf("the engine did not start\n");
        return 1;
    }
    printf("acquisition module starts:\n");
    InitKezRTDll(&acquisition_module, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, acquisition_list);

    errors = GetThreadLocalErrorStringBuffer();
    snprintf(errors, 512, "per-thread error text lives at %p", (void *)errors);
    printf("%s\n", GetThreadLocalErrorStringBuffer());
    printf("memory-manager code 2 means library code %d\n", MgrToPXError(2));

    /* The engine's logger: a template of our own, to standard output, and a
       timing handle that measures the time between two log points. */
    SetKezLogReportingLocation(KEZ_LOG_LOCATION_STDOUT, 0, NULL);
    SetKezLogOutputFormat("  log [[LEVEL]] [FUNC]: [MSG]");
    timing = GetKezLogTimingHandle();
    WriteKezLogMessage(KEZ_LOG_INFO, 0, NULL, __FILE__, __func__, __LINE__, "%d modules running", 2);
    WriteKezLogTimingEvent(timing, 1, 0, 0, NULL, __FILE__, __func__, __LINE__, "writing the line above took [ELAPSED]");
    SetKezLogReportingLocation(KEZ_LOG_LOCATION_NONE, 0, NULL);

    if (run_acquisition() != 0) return 1;

    printf("acquisition module ends:\n");
    CloseKezRTDll(&acquisition_module);
    printf("driver module ends:\n");
    CloseKezRTDll(&driver_module);
    return 0;
}
