// A trace of everything the program does to the drives, for any transport:
// each open, close, command and sleep becomes one line of a text file, so an
// administrator can send the record of a failed rollout on a real host, and
// a test can read what was sent to a simulated drive. The lines:
//
//   open 3 ok
//   open 4 fail
//   exec 3 path=0 target=3 lun=0 timeout=100 cdb=3b040101000000800000 dir=out len=32768 -> status=00 host=00 moved=32768
//   sense 3 700005000000000a00000000260000
//   close 3
//   sleep 150000
//
// `timeout` is the device timeout in whole seconds, `dir` out, in or none,
// `len` the request's data length; hex is lower case. A "sense" line follows
// each command that ended in CHECK CONDITION and holds the sense bytes the
// drive returned.
#pragma once

#include <string>

// Wraps the active transport and clock in a trace layer that appends to the
// regular file at `path` (created when missing). A trace started earlier is
// stopped first. False, with nothing changed and the program's one-line
// message naming the path and the reason in `error`, when the path is not a
// regular file (a FIFO, a folder, a device: never waited on) or cannot be
// opened for appending. A write that fails later is said once on standard
// error and ends the trace; the transport and clock go on as before.
bool start_transport_trace(const std::string& path, std::string& error);
// Removes the trace layer, putting back the transport and clock it wrapped.
// Whoever replaces or removes those must stop the trace first.
void stop_transport_trace();

// The path of the trace being written; empty when there is none.
std::string transport_trace_path();
