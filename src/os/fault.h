// Fault injection for tests. Named fault points sit in front of every system
// call of the platform layer ("os.tls_alloc", "os.shm_open", ...) and in
// front of each start-up step (the step's name). A test arms a point with a
// count and a number of passes to let through first; the `count` passes
// after those fail as if the system had refused. Points are armed by the
// environment variable KEZ_TEST_FAIL ("name[:count[:skip[:error]]],...",
// read at load) or by a test-hook call. `error` is the system's error code
// the failed call reports (an errno value on POSIX, a Win32 code on
// Windows); 0 leaves the choice to the point.
//
// Builds without KEZ_TEST_HOOKS compile every point down to `false`.
#pragma once

namespace kez::fault {

#if defined(KEZ_TEST_HOOKS)
bool hit(const char *point);
// hit(), and the armed error code (0 when none was given) in *error.
bool hit(const char *point, unsigned *error);
void arm(const char *point, int count, int skip = 0, unsigned error = 0);
void disarm_all();
// Reads KEZ_TEST_FAIL; called once at process attach.
void arm_from_environment();
#else
inline bool hit(const char *) { return false; }
inline bool hit(const char *, unsigned *) { return false; }
inline void arm(const char *, int, int = 0, unsigned = 0) {}
inline void disarm_all() {}
inline void arm_from_environment() {}
#endif

}  // namespace kez::fault
