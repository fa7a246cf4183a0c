/* Every public header compiles as plain C. */
#include "kez/kez.h"

int kez_headers_compile_as_c(void) {
    KezRunStateCallback none = 0;
    (void)none;
    return WhichRuntimeSupportDll() + UsingInstrSupDll() + RoundRealToNearestInteger(0.5);
}
