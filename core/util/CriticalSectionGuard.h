// Holds a critical section for the life of a scope. Kept apart from
// Handles.h, which pulls in Winsock for the socket owner.
#pragma once

#include <windows.h>

namespace marlin {

class critical_section_guard {
public:
    explicit critical_section_guard(CRITICAL_SECTION& section) : section_(section) { ::EnterCriticalSection(&section_); }
    ~critical_section_guard() { ::LeaveCriticalSection(&section_); }
    critical_section_guard(const critical_section_guard&) = delete;
    critical_section_guard& operator=(const critical_section_guard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace marlin
