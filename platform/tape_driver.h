// Whether the operating system's tape driver is there at all: a host that
// shows no tape device may simply lack it.
#pragma once

// On Linux "the st driver is loaded" or "the st driver is not loaded" (the
// tape device nodes /dev/nst* exist only with it); elsewhere empty.
const char* tape_driver_state();
