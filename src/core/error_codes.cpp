#include "core/error_codes.h"

#include <cstdio>

#include "kez/runtime.h"
#include "log/log.h"

namespace kez::core {
namespace {
char g_err_text[32];
char g_mg_err_text[32];
}  // namespace

const char *err_text(int code) {
    std::snprintf(g_err_text, sizeof g_err_text, "Err = %d", code);
    return g_err_text;
}

const char *mg_err_text(int code) {
    std::snprintf(g_mg_err_text, sizeof g_mg_err_text, "MgErr = %d", code);
    return g_mg_err_text;
}

}  // namespace kez::core

extern "C" int MgrToPXError(int managerCode) {
    switch (managerCode) {
        case 0:
            return 0;
        case 1:
        case 15:
        case 45:
            return -260;
        case 2:
        case 18:
            return -102;
        case 7:
            return -266;
        default: {
            char message[96];
            std::snprintf(message, sizeof message, "The following manager error code could not be translated: %d",
                          managerCode);
            kez::log::assert_failed("0", __FILE__, __func__, __LINE__, message);
            return -260;
        }
    }
}
