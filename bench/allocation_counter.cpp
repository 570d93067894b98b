// The replaced global operators new and delete behind the allocation counter. Memory comes from
// malloc (aligned_alloc for over-aligned types), so every delete is a plain free.
#include "bench/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace zrq::bench {
namespace {

std::atomic<int64_t> allocations{0};
thread_local bool countingThread = false;

void noteAllocation() {
    if (countingThread) allocations.fetch_add(1, std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
    noteAllocation();
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    noteAllocation();
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* memory = std::aligned_alloc(align, rounded ? rounded : align)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void countAllocationsOnThisThread(bool on) { countingThread = on; }
bool countingOnThisThread() { return countingThread; }
int64_t countedAllocations() { return allocations.load(std::memory_order_relaxed); }
void resetAllocationCount() { allocations.store(0, std::memory_order_relaxed); }

AllocationWindow::AllocationWindow() : wasCounting_(countingThread), start_(countedAllocations()) {
    countingThread = true;
}

AllocationWindow::~AllocationWindow() { stop(); }

int64_t AllocationWindow::stop() {
    if (open_) {
        countingThread = wasCounting_;
        open_ = false;
        start_ = countedAllocations() - start_;
    }
    return start_;
}

UncountedScope::UncountedScope() : wasCounting_(countingThread) { countingThread = false; }
UncountedScope::~UncountedScope() { countingThread = wasCounting_; }

}  // namespace zrq::bench

// GCC pairs the replaced operators with the built-in ones when it inlines and warns wrongly.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) { return zrq::bench::allocate(size); }
void* operator new[](std::size_t size) { return zrq::bench::allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) {
    return zrq::bench::allocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return zrq::bench::allocateAligned(size, a);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return zrq::bench::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return zrq::bench::allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
