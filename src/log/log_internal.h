// The logger's internal pieces shared between its files.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace kez::log {

// Location change as the export does it; false when refused.
bool set_reporting_location(std::uint32_t location, std::uint32_t option, const char *path);

// Applies KEZ_LOG (levels and a location) after the built-in defaults.
void apply_environment_configuration();

// Test tap (test builds): every line as "<level>\t<function>\t<text>".
bool tap_active();
void tap_vwrite(std::uint32_t level, const char *func, const char *format, va_list args);
void tap_literal(std::uint32_t level, const char *func, const char *text);

// Test support.
void set_clock_for_tests(std::uint64_t microseconds);
void set_last_timing_handle_for_tests(int handle);
int live_timing_handles_for_tests();

}  // namespace kez::log
