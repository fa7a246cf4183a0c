// The TCP library's places in the start-up chain and in event processing.
#pragma once

namespace kez::comm::tcp {

// Start-up step: the thread-variable slot, both locks, the run-state
// callback. 0 or -103.
int TCPLibraryInitOnce();
// Clean-up: every connection closed, the socket library stopped, the
// locks deleted. The binding stays loaded for the UDP library's clean-up,
// which comes next and releases it.
void TCPLibraryUninit();
// ProcessSystemEvents' TCP step: 0 without touching the socket library
// until a connection or server has existed.
int PollTCPEvents();

}  // namespace kez::comm::tcp
