#pragma once
// Counts the program's heap allocations: linking allocation_count.cpp into a
// benchmark replaces the global operator new and delete with counting ones.

#include <cstdint>

// Allocations made through operator new so far.
std::uint64_t AllocationCount();
