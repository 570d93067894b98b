// Counts calls of the global operator new made by threads that asked for it, so that a test can
// show that a code path allocates nothing.
//
// This header replaces the global operator new and delete, which a program may define only once:
// include it from exactly one source file of each test program (every test program here is a
// single .cpp file, so that is the test file itself).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace zrq::testing {

// Whether allocations made by the calling thread are counted. Per thread, so that a test can
// watch one worker thread and not the threads that drive it.
inline thread_local bool countThisThread = false;

// Allocations counted since the last reset, over all counting threads.
inline std::atomic<long> countedAllocations{0};

// Counts the calling thread's allocations from construction until stop() or destruction, from
// zero; `count()` reads the total so far.
class AllocationCount {
public:
    AllocationCount() {
        countedAllocations = 0;
        countThisThread = true;
    }
    ~AllocationCount() { stop(); }
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;

    void stop() { countThisThread = false; }
    long count() const { return countedAllocations.load(); }
};

}  // namespace zrq::testing

void* operator new(std::size_t size) {
    if (zrq::testing::countThisThread) ++zrq::testing::countedAllocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// The replaced operator new takes its memory from malloc, so free is the matching release; the
// compiler cannot see that through inlining and would warn.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
