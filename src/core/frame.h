// Process-wide state of the engine frame and the internal interfaces that
// the start-up chain offers the libraries.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

namespace kez::core {

enum class LoadState : int {
    not_loaded = 0,
    attaching = 1,
    initialised = 2,
    failed = 3,  // start-up failed; on POSIX the library stays mapped but refuses work
    closed = 4,
};

struct EngineState {
    std::atomic<LoadState> load_state{LoadState::not_loaded};
    bool initialised = false;
    std::atomic<bool> closed{false};
    std::atomic<bool> process_detaching{false};
    std::atomic<bool> process_ending{false};  // detaching because the process ends
    os::Module self = nullptr;
    os::Module main_module = nullptr;
    int cmd_show = 10;
    std::uint32_t os_major = 0;
    std::uint32_t os_minor = 0;
    bool platform_known = false;
    bool no_previous_instance = true;
    std::atomic<bool> shutting_down{false};
    std::atomic<bool> startup_library{false};
    std::atomic<bool> abnormal_exit{false};
    os::ThreadId main_thread_id = 0;
    bool code_page_multibyte = false;
    char main_module_file[1024] = {};
};

EngineState &engine();

// Run-state change callbacks of the engine's own libraries: registered with
// no module. False when the table is full.
bool register_run_state_callback(void (*callback)(int run_state));
// Drops every entry (process detach).
void clear_run_state_callbacks();

// On a real-time target, asks its support library to reboot the system;
// elsewhere nothing. Part of the abnormal exit.
void reboot_real_time_target();

// Reports a negative result of a twin's implementation as a library error
// (user protection). Generated twins call it.
void report_library_error(const char *function, int code, const char *message);

}  // namespace kez::core
