// The utility library's internal pieces shared with the export table.
#pragma once

namespace kez::util {

// The message function of the system utilities' _UP_ twins.
const char *GetUtilityTwinMessage(int result);

}  // namespace kez::util
