#include "platform/run_lock.h"

#include <windows.h>

#include <algorithm>

namespace {

// A mutex name may not hold a backslash past its namespace: a lock named by
// a path ($KVFW_LOCK, a simulated bus) becomes a name of the session.
std::string mutex_name(const std::string& name) {
    if (name.rfind("Global\\", 0) == 0 || name.rfind("Local\\", 0) == 0) return name;
    std::string flat = name;
    std::replace(flat.begin(), flat.end(), '\\', '/');
    return "Local\\kvtapefw:" + flat;
}

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// The holder's process number lives in a small shared memory block beside
// the mutex, which the system drops with the last process that has it open.
long read_holder(const std::string& name) {
    HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, (name + ".pid").c_str());
    if (block == nullptr) return 0;
    long pid = 0;
    if (const void* view = MapViewOfFile(block, FILE_MAP_READ, 0, 0, sizeof(DWORD))) {
        pid = static_cast<long>(*static_cast<const DWORD*>(view));
        UnmapViewOfFile(view);
    }
    CloseHandle(block);
    return pid;
}

}  // namespace

run_lock_state host_run_lock::try_take(const std::string& name) {
    const std::string mutex = mutex_name(name);
    if (handle_ == -1) {
        HANDLE created = CreateMutexA(nullptr, FALSE, mutex.c_str());
        if (created == nullptr) {
            failure_ = "the mutex could not be made (error " + std::to_string(GetLastError()) + ")";
            return run_lock_state::failed;
        }
        handle_ = reinterpret_cast<std::intptr_t>(created);
    }
    // An abandoned mutex is one whose run died: it is ours now.
    const DWORD waited = WaitForSingleObject(as_handle(handle_), 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        holder_ = read_holder(mutex);
        return run_lock_state::busy;
    }
    HANDLE block = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD),
                                      (mutex + ".pid").c_str());
    if (block != nullptr) {
        if (void* view = MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
            *static_cast<DWORD*>(view) = GetCurrentProcessId();
            UnmapViewOfFile(view);
        }
        pid_store_ = reinterpret_cast<std::intptr_t>(block);
    }
    holder_ = 0;
    taken_ = true;
    return run_lock_state::held;
}

void host_run_lock::release() {
    if (handle_ != -1) {
        if (taken_) ReleaseMutex(as_handle(handle_));
        CloseHandle(as_handle(handle_));
    }
    if (pid_store_ != -1) CloseHandle(as_handle(pid_store_));
    handle_ = pid_store_ = -1;
    taken_ = false;
}
