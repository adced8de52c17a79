// Termination requests (SIGTERM, SIGINT) turned into something an event loop can wait for, so a
// program can close as its user would, settings written, instead of dying in a signal handler.
#pragma once

namespace platform {

// From now on SIGTERM and SIGINT no longer end the process: each makes the returned descriptor
// readable. Returns -1 (and leaves the signals as they were) when the descriptor cannot be made.
// Call once, from the main thread, before other threads start; the descriptor lives as long as the
// process.
int watchTerminationRequests();

// Takes one request off the descriptor, so it is readable again only at the next signal.
void takeTerminationRequest(int descriptor);

}  // namespace platform
