/* The demo's time limit, on the engine's seconds clock. */
#include "kez/utility.h"

#include "deadline.h"

static double give_up;

void deadline_start(int seconds) { give_up = Timer() + seconds; }

int deadline_passed(void) { return Timer() > give_up; }
