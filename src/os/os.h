// The engine's platform layer. Portable code calls only what is declared
// here; src/os/posix/ and src/os/win32/ implement it with identical
// signatures and CMake picks one folder. No other engine source includes an
// operating-system header.
//
// Every call that can fail because the system refused it checks a fault
// point first (fault.h), so tests can reach each "the system call failed"
// path of the engine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kez::os {

// ---- processes and threads -------------------------------------------------

using ThreadId = std::uint32_t;

#if defined(__linux__)
// Asked on every lock operation, so the id is cached in static TLS and read
// inline (the initial-exec model needs no call; the few bytes fit the
// surplus the C library keeps for libraries loaded later).
extern __thread ThreadId t_current_thread_id __attribute__((tls_model("initial-exec")));
ThreadId current_thread_id_slow();
inline ThreadId current_thread_id() {
    const ThreadId id = t_current_thread_id;
    return id != 0 ? id : current_thread_id_slow();
}
#else
ThreadId current_thread_id();
#endif
std::uint32_t current_process_id();

// A value that differs between two processes that happened to get the same
// id one after the other (the process start time on POSIX); used to tell a
// stale named object of a dead process from a live one of ours.
std::uint64_t process_start_token();

// Starts a detached thread running fn(arg). False if the system refused.
bool thread_start_detached(void (*fn)(void *), void *arg);

// A thread the engine owns and can wait for. Created held at a start gate:
// it runs fn(arg) only after thread_resume(). stack_size 0 is the system's
// default. Null with the system's error.
struct Thread;
Thread *thread_create_suspended(void (*fn)(void *), void *arg, std::size_t stack_size, ThreadId *id);
void thread_resume(Thread *t);
// Waits until the thread has ended; false on time-out.
bool thread_join(Thread *t, std::uint32_t timeout_ms);
// Ends the thread without its cooperation. Windows terminates it at once.
// POSIX cancels it: it ends at its next cancellation point, and only while
// it allows cancellation (thread_allow_cancel); the engine's own waits are
// never cancellation points. False with the system's error.
bool thread_terminate(Thread *t, std::uint32_t exit_code);
// Whether thread_terminate ends the thread at once (Windows).
extern const bool kThreadTerminateIsImmediate;
// Whether the engine's unload runs under a system lock that a thread needs
// to end (Windows: the loader lock), so that no thread may be waited for
// then.
extern const bool kDetachHoldsLoaderLock;
// Lets the calling thread be ended by thread_terminate (POSIX), or not.
void thread_allow_cancel(bool allow);
// Releases the handle; a thread still running goes on on its own.
void thread_close(Thread *t);
// The system's handle of the thread (pthread_t or HANDLE), as a pointer.
void *thread_native_handle(Thread *t);

// Ends the calling thread with an exit code. On POSIX, when the ending
// thread is the last one of the process, the process exit status is `code`
// (POSIX would otherwise report 0 for a process whose main thread left
// through pthread_exit).
[[noreturn]] void thread_exit_current(std::uint32_t code);

void sleep_ms(std::uint32_t ms);

int processor_count();
// The calling thread's priority on the engine's scale -15 (idle) to 15
// (time critical), 0 normal. Windows takes the scale as it is; on POSIX it
// is the thread's nice value negated. False with the system's error.
bool thread_priority_get(int *priority);
bool thread_priority_set(int priority);
// The same for an engine-owned thread, asked from any thread (on POSIX
// through the thread's kernel id). The same fault points as above.
bool thread_priority_get_of(Thread *t, int *priority);
bool thread_priority_set_of(Thread *t, int priority);

// Runs a program with a null-terminated list of arguments (may be null) and
// waits for it. False when it could not be started or did not end within
// the time-out (it is then killed).
bool process_run(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code);
// The same with `input` (when not null) fed to the program's standard
// input through a pipe, `chunk` bytes at a time with a short pause between
// (so that the program sees partial reads), the pipe closed after the last.
bool process_run_piped(const char *program, const char *const *arguments, std::uint32_t timeout_ms, int *exit_code,
                       const char *input, std::size_t size, std::size_t chunk);

// Runs a command line as a new process and waits for it to end: the
// program and its arguments as Windows reads a command line, or on POSIX
// the line given to /bin/sh -c. False when it could not be started.
bool command_run(const char *command_line, int *exit_code);

// Ends the process at once with `code`: no exit handlers, no clean-up of
// the engine or of anything else.
[[noreturn]] void process_exit_now(std::uint32_t code);

// Environment: copies the variable's value into buf (always terminated).
// False when the variable is not set or does not fit.
bool env_get(const char *name, char *buf, std::size_t size);
// Sets (or, with a null value, removes) a variable of the process.
bool env_set(const char *name, const char *value);

// Show-window value of the start-up information, or -1 when the process
// was not given one.
int startup_show_window();

// Major and minor version of the running operating system. False when the
// version cannot be read.
bool os_version(std::uint32_t *major, std::uint32_t *minor);

// Whether the process code page uses multi-byte characters.
bool code_page_is_multibyte();

// Sets the six exception-mask bits of the x87 control word.
void mask_x87_exceptions();
std::uint16_t x87_control_word();

// ---- thread-local storage --------------------------------------------------

struct TlsKey {
    std::uintptr_t value = 0;
};

bool tls_alloc(TlsKey *key);
void tls_free(TlsKey key);
void *tls_get(TlsKey key);
bool tls_set(TlsKey key, void *value);

// Thread-exit hook. `fn` runs on every ending thread that called
// thread_exit_hook_arm() (POSIX) or on every ending thread (Windows, from
// DLL_THREAD_DETACH). arm() is cheap and may be called repeatedly; calling it
// while the hook runs makes the hook run again for that thread, so state
// re-created during clean-up is not lost.
bool thread_exit_hook_install(void (*fn)());
void thread_exit_hook_remove();
void thread_exit_hook_arm();

// ---- synchronisation -------------------------------------------------------

// Critical section: the engine's internal recursive lock, without time-outs
// (a pthread recursive mutex, a Windows CRITICAL_SECTION). Cheaper than
// Mutex; use Mutex where a timed lock is needed.
struct CriticalSection;
CriticalSection *cs_create();
void cs_destroy(CriticalSection *cs);
void cs_enter(CriticalSection *cs);
bool cs_try_enter(CriticalSection *cs);
void cs_leave(CriticalSection *cs);
// Unload's way with a critical section a thread may still hold: POSIX must
// not destroy a locked mutex, so it is kept for the rest of the process.
void cs_let_go_held(CriticalSection *cs);

// Recursive mutex. All time-outs are in milliseconds on the monotonic clock.
struct Mutex;
Mutex *mutex_create();
void mutex_destroy(Mutex *m);
void mutex_lock(Mutex *m);
bool mutex_try_lock(Mutex *m);
bool mutex_timed_lock(Mutex *m, std::uint32_t timeout_ms);
void mutex_unlock(Mutex *m);

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Sleeping on a 32-bit word (a futex on Linux, a condition variable on Windows),
// for the engine's own locks: a thread sleeps only while *word still holds
// `expected`, until wake_one() or wake_all() on the word or the time-out.
// It may also wake for no reason, so callers look at the word again. False
// only when timeout_ms (kInfinite: none) passed. The word must stay mapped
// for as long as a thread may sleep on it or wake it.
bool wait_on_address(const std::atomic<std::uint32_t> *word, std::uint32_t expected, std::uint32_t timeout_ms);
void wake_one(const std::atomic<std::uint32_t> *word);
void wake_all(const std::atomic<std::uint32_t> *word);

struct Event;
Event *event_create(bool manual_reset, bool initially_set);
void event_destroy(Event *e);
void event_set(Event *e);
void event_reset(Event *e);
// True when the event was signalled, false on time-out.
bool event_wait(Event *e, std::uint32_t timeout_ms);

// ---- named cross-process objects -------------------------------------------

// Named shared memory of `size` bytes, zero-filled when created. `created`
// tells whether this call created it.
struct SharedMemory;
SharedMemory *shm_open_or_create(const char *name, std::size_t size, bool *created);
void *shm_address(SharedMemory *s);
// Unmaps and closes. With `remove`, the name is deleted as well (POSIX; on
// Windows the object goes away with its last handle).
void shm_close(SharedMemory *s, bool remove);
// Whether an object of that name exists now (for leak checks).
bool shm_exists(const char *name);
// Removes the named objects "<prefix><process id in hex>" of processes that
// have ended. On POSIX such names outlive a process that was killed; on
// Windows the system removes them with the process, and this does nothing.
void remove_names_of_ended_processes(const char *prefix);

// Named recursive mutex shared between processes.
struct NamedMutex;
NamedMutex *named_mutex_open(const char *name);
void named_mutex_lock(NamedMutex *m);
void named_mutex_unlock(NamedMutex *m);
void named_mutex_close(NamedMutex *m);
bool named_mutex_exists(const char *name);

// The system object behind a user's mutex-kind lock: recursive, shared
// with every process that opens the same name, with timed waits. When the
// thread that held it ended without releasing it, the next wait reports
// `abandoned` and the waiter then holds it once. Failures leave the system's
// error code for last_error().
enum class LockWait { acquired, abandoned, timed_out, failed };
struct UserMutex;
// Creates an unnamed object, or creates or opens the named one.
UserMutex *user_mutex_open(const char *name);
LockWait user_mutex_wait(UserMutex *m, std::uint32_t timeout_ms);
bool user_mutex_release(UserMutex *m);
// Always frees `m`; false when the system reported a failure.
bool user_mutex_close(UserMutex *m);
// Lets go of an object that a thread may still hold, at unload: its memory
// is kept for the rest of the process where the system still refers to it
// (POSIX robust lists), so that its holder's end is seen by other processes.
void user_mutex_let_go_held(UserMutex *m);

// ---- clocks ------------------------------------------------------------------

// High-resolution counter and its frequency in ticks per second; frequency 0
// means the system has no such counter.
std::uint64_t perf_counter();
std::uint64_t perf_frequency();
// Coarse system tick count in milliseconds (monotonic).
std::uint64_t tick_count_ms();

// The wall clock in milliseconds since 1970-01-01 UTC, and the local time of
// day of a wall-clock second (callers cache it: the conversion is slow).
std::int64_t wall_clock_ms();
struct LocalTime {
    int hour;
    int minute;
    int second;
    int millisecond;
};
LocalTime local_time_of(std::int64_t epoch_second);

// The system's UTC time: whole seconds since 1970-01-01 00:00:00 UTC and the
// nanoseconds within the second, at the system time's resolution (POSIX:
// the real-time clock's nanoseconds; Windows: the system time's
// milliseconds). False when the system could not tell it.
struct UtcTime {
    std::int64_t seconds;
    std::uint32_t nanoseconds;
};
bool utc_now(UtcTime *now);

// ---- modules -----------------------------------------------------------------

using Module = void *;

// The module that contains the engine, and the process's main executable.
Module module_self();
Module module_main();
// Component names are given as on Windows ("kezdebug.dll"); on POSIX the
// name maps to "lib<stem>.so". Directories listed in the environment variable
// KEZ_COMPONENT_PATH are searched first.
Module module_if_loaded(const char *name);
Module module_load(const char *name);
void module_unload(Module m);
void *module_symbol(Module m, const char *symbol);
bool module_file_name(Module m, char *buf, std::size_t size);
// Keeps the engine mapped until the process ends. For state that outlives
// an unload which may not wait for other threads (kDetachHoldsLoaderLock):
// a component's threads that still call into the engine. No effect where
// unload may wait.
void module_pin_self();

// ---- host heap ---------------------------------------------------------------

// The host C library's heap, for the engine's user heap regions. host_alloc
// checks the fault point "os.host_alloc" first.
void *host_alloc(std::size_t size);
void host_free(void *block);
// Asks the host heap to give unused memory back to the system.
void host_heap_compact();

// Resizes a host block: at the same address or another, its bytes kept up
// to the smaller size; null, the block unchanged, when refused. Checks the
// fault point "os.host_realloc" first.
void *host_realloc(void *block, std::size_t size);

// A block of `size` bytes that ends right before a page no access is
// allowed to (tests: a read or write past the end faults at once), and its
// release. Null when the system refuses.
void *guarded_alloc(std::size_t size);
void guarded_free(void *block, std::size_t size);

// ---- errors and diagnostics -------------------------------------------------

std::uint32_t last_error();
// The system's text for an error code, without trailing line ends; cut to
// fit. False when the system has no text for it (buf then holds a fallback).
bool error_text(std::uint32_t code, char *buf, std::size_t size);
// The code the system gives for a refused permission (tests).
extern const std::uint32_t kAccessDenied;
bool debugger_present();
void debug_output(const char *text);

// ---- probes used by leak checks ---------------------------------------------

// Number of open descriptors (POSIX) or handles (Windows) of the process;
// -1 when the system cannot tell.
long open_handle_count();
// The value the system would give the next descriptor or handle: a leaked
// one occupies a free slot and changes it (Wine does not count handles).
long lowest_free_handle();

}  // namespace kez::os

// Implemented by the engine core, called by the platform's load and unload
// notifications (thread end arrives through the thread-exit hook).
namespace kez::core {
bool on_process_attach(kez::os::Module self);
// process_ending: the whole process is ending, and on Windows its other
// threads are already gone; otherwise the engine alone is being unloaded.
void on_process_detach(bool process_ending = false);
}  // namespace kez::core
