// The communication libraries' per-thread record: one thread-variable slot
// shared by TCP and RS-232, so that the engine leaves the program its slots.
#pragma once

#include <cstdint>

namespace kez::comm {

struct CommThreadRecord {
    std::uint32_t tcp_last_error;
    int rs232_last_status;
    std::int32_t rs232_last_visa_status;
};

// Counted: the first acquire takes the slot, the last release frees it.
bool acquire_thread_slot();
void release_thread_slot();
// The calling thread's record; a process-wide one when there is no slot or
// no memory.
CommThreadRecord *thread_record();

}  // namespace kez::comm
