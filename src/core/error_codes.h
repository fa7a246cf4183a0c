// Translation of memory-manager codes and the error-number texts of log lines.
#pragma once

namespace kez::core {

// "Err = %d" and "MgErr = %d" in process-wide buffers, only for log lines.
const char *err_text(int code);
const char *mg_err_text(int code);

}  // namespace kez::core
