// Holds a CRITICAL_SECTION for the lifetime of a scope.
#pragma once

#include "platform/win32.h"

class scoped_critical_section {
  public:
    explicit scoped_critical_section(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~scoped_critical_section() { LeaveCriticalSection(&section_); }
    scoped_critical_section(const scoped_critical_section&) = delete;
    scoped_critical_section& operator=(const scoped_critical_section&) = delete;

  private:
    CRITICAL_SECTION& section_;
};
