// Counts the heap allocations of this test executable, which replaces the global operator
// new and delete, so that a test can show how much a call allocates.
#pragma once

#include <cstddef>

namespace allocation_counter {

struct totals {
    size_t bytes = 0;    // sum of every request
    size_t largest = 0;  // largest single request
};

// Counts the allocations of every thread made while it lives.
class scope {
  public:
    scope();
    ~scope();
    totals result() const;
};

}  // namespace allocation_counter
