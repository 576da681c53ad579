// resident_memory.h — test support: the resident memory of this process (the
// server runs inside it) and its high-water mark, from Linux /proc; 0 where the
// figures are not available.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace vtest {

inline long long proc_status_kib(const char* field) {
#ifdef _WIN32
    // Under Wine the path may reach the Linux file of the emulating process,
    // whose figures do not describe the program: report none.
    (void)field;
    return 0;
#endif
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size());
    }
    return 0;
}

inline long long resident_kib() { return proc_status_kib("VmRSS"); }

// Starts a new high-water mark at the current resident size. False where the
// mark cannot be reset.
inline bool reset_resident_peak() {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory resident in its quarantine, so
    // a high-water mark would count what the program gave back.
    return false;
#endif
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

inline long long resident_peak_kib() { return proc_status_kib("VmHWM"); }

}  // namespace vtest
