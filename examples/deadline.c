/* The demo's time limit, from the host C library's clock: this source
 * includes the host's headers, the others the engine's C library (a source
 * uses one or the other, never both). */
#include <time.h>

#include "deadline.h"

static time_t give_up;

void deadline_start(int seconds) { give_up = time(NULL) + seconds; }

int deadline_passed(void) { return time(NULL) > give_up; }
