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

// From now on a write past the file-size limit (ulimit -f) fails with EFBIG, which the writer
// reports, instead of killing the process with SIGXFSZ and losing what it had not saved. Children
// started through platform::Process get the default action back.
void keepRunningPastFileSizeLimit();

}  // namespace platform
