// The message functions that generated _UP_ twins name in the export table.
#pragma once

#include "mt/thread_util.h"

using kez::mt::GetKmtUserProtErrorString;
#include "fmtio/fmtio_library.h"

using kez::fmtio::GetFmtIOTwinMessage;
#include "util/system_utilities.h"

using kez::util::GetUtilityTwinMessage;
#include "util/absolute_time.h"

using kez::util::absolute_time_message;
