// Whether anyone but an administrator could change a file: a trusted key,
// and every folder above it, must be beyond the reach of other users, or
// whoever can write there can add a key of their own (as sshd's StrictModes
// judges a user's keys).
#pragma once

#include <string>

struct trust_fault {
    std::string path;    // what others could change (the file, a folder above it, or a link)
    std::string target;  // where `path` leads, when it is a link (the fault lies at or above it); else empty
    const char* fault;   // "is writable by others", "is owned by another user", "cannot be examined"
};

// Checks the file or folder at `path` and every folder above it, and where a
// link leads and every folder above that. On POSIX each must be owned by
// root or the running user and not writable by group or others, except that
// a root-owned folder with the sticky bit (such as /tmp) is accepted above
// the path, since nobody else may replace what lies in it. On Windows the
// owner and every account that may write (or change the permissions) must
// be SYSTEM, Administrators, TrustedInstaller or the running user. True when
// so; false with the first fault.
bool only_administrators_can_change(const std::string& path, trust_fault& fault);
