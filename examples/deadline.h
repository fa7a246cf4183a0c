/* The demo's time limit. */
#ifndef DEMO_DEADLINE_H
#define DEMO_DEADLINE_H

void deadline_start(int seconds);
int deadline_passed(void);

#endif
