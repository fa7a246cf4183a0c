/* Leaves main through the engine's abnormal exit with the code given as the
   argument, while a second module is registered: the exit code must reach
   the parent unchanged. */
#include <stdlib.h>

#include "kez/kez.h"

static void stop_ignored(int state) { (void)state; }

int main(int argc, char **argv) {
    static int module;
    KezRunStateCallback list[] = {stop_ignored, NULL};
    InitKezRTDll(&module, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, list);
    KezRTDllAbnormalExit(argc > 1 ? (unsigned)atoi(argv[1]) : 1u);
    return 99; /* never reached */
}
