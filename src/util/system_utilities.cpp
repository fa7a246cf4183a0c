// Rounding, clearing the console, and the utility library's small queries.
#include <climits>
#include <cmath>

#include "clib/stream.h"
#include "kez/utility.h"
#include "os/file.h"
#include "os/system_services.h"
#include "util/system_utilities.h"

// Exact half to even. The usual (int)(x + 0.5) is wrong twice: the sum
// itself rounds (0.49999999999999994 + 0.5 is 1.0), and a value beyond int
// makes the conversion undefined. x - floor(x) is exact for every double,
// so the half is seen exactly; values beyond int saturate and NaN gives 0.
extern "C" int RoundRealToNearestInteger(double value) {
    if (std::isnan(value)) return 0;
    double r = std::floor(value);
    const double fraction = value - r;  // NaN for an infinity: no step
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
    if (r >= 2147483648.0) return INT_MAX;
    if (r < -2147483648.0) return INT_MIN;
    return static_cast<int>(r);
}

extern "C" double TruncateRealNumber(double value) { return value < 0.0 ? std::ceil(value) : std::floor(value); }

// What the C library's standard output holds is written out first, and the
// stream stays locked while the console is cleared, so the clearing lands
// between the text printed before and after it.
extern "C" void Cls(void) {
    kez::clib::Stream *out = kez::clib::stream_table()[1];
    if (out == nullptr || !out->in_use.load(std::memory_order_acquire)) {
        kez::os::console_clear(kez::os::standard_file(1));
        return;
    }
    kez::clib::StreamLock lock(out);
    if (lock) kez::clib::flush_locked(lock.get(), false);
    kez::os::console_clear(kez::os::standard_file(1));
}

extern "C" void Kez_Beep(void) {}

extern "C" int UsingInstrSupDll(void) { return 0; }

namespace kez::util {

const char *GetUtilityTwinMessage(int result) {
    switch (result) {
    case -3: return "The system could not report the current directory, or it is longer than the buffer.";
    case -5: return "Null pointer argument to library function.";
    default: return "A pointer argument is null, a value is out of range, or the system refused the call.";
    }
}

}  // namespace kez::util
