// Counts calls of the global operator new made by chosen threads, to show that a code path
// allocates nothing. The replaced operators live in allocation_counter.cpp; a program that links
// it has every new counted while its thread has counting switched on.
#pragma once

#include <cstdint>

namespace zrq::bench {

// Counting is per thread: only threads that switched it on are counted.
void countAllocationsOnThisThread(bool on);
bool countingOnThisThread();

// Calls of operator new counted since the last reset, over all counting threads.
int64_t countedAllocations();
void resetAllocationCount();

// Counts the allocations of this thread from construction to stop() (or destruction).
class AllocationWindow {
public:
    AllocationWindow();
    ~AllocationWindow();
    AllocationWindow(const AllocationWindow&) = delete;
    AllocationWindow& operator=(const AllocationWindow&) = delete;

    // Ends counting; returns the allocations counted in the window.
    int64_t stop();

private:
    bool wasCounting_;
    bool open_ = true;
    int64_t start_;
};

// Pauses counting on this thread, e.g. around a test double that records calls in vectors: the
// double stands in for the operating system, whose calls allocate nothing in the program.
class UncountedScope {
public:
    UncountedScope();
    ~UncountedScope();
    UncountedScope(const UncountedScope&) = delete;
    UncountedScope& operator=(const UncountedScope&) = delete;

private:
    bool wasCounting_;
};

}  // namespace zrq::bench
