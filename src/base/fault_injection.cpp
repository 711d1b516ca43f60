// Counting, failing replacements of the global allocation functions, built
// only with -DQUENDLE_FAULT_INJECTION=ON. A test drives them through the
// exported C functions below (for instance with ctypes on the loaded module):
//
//   quendle_fail_after(n)  the next n allocations succeed, the one after that
//                          fails, later ones succeed again; n < 0 disarms.
//   quendle_fail_from(n)   the same, but every allocation from that one on
//                          fails until the injection is disarmed.
//   quendle_allocations()  allocations counted since the module was loaded.
//   quendle_failures()     failures injected since the module was loaded.
//
// A failure is a std::bad_alloc from the throwing forms of operator new and
// a null pointer from the nothrow forms, as when the system runs out of
// memory. Memory is taken from malloc and returned to free, as the default
// allocation functions do, so blocks allocated before the replacement took
// effect may be released through it and the other way round.
#include "base/fault_injection.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_allocations{0};
std::atomic<long> g_failures{0};
// Allocations still to succeed before the armed failure; -1 when disarmed.
std::atomic<long> g_countdown{-1};
std::atomic<bool> g_sticky{false};

// Counts one allocation and says whether it is to fail.
bool failure_due() noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    long left = g_countdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) {
            if (!g_sticky.load(std::memory_order_relaxed) &&
                !g_countdown.compare_exchange_weak(left, -1, std::memory_order_relaxed)) {
                continue;
            }
            g_failures.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return false;
        }
    }
    return false;
}

void arm(long n, bool sticky) noexcept {
    g_countdown.store(-1, std::memory_order_relaxed);
    g_sticky.store(sticky, std::memory_order_relaxed);
    if (n >= 0) {
        g_countdown.store(n, std::memory_order_relaxed);
    }
}

// One attempt of the system allocator, aligned when align is non-zero.
void* system_allocate(std::size_t size, std::size_t align) noexcept {
    if (size == 0) {
        size = 1;
    }
    if (align <= alignof(std::max_align_t)) {
        return std::malloc(size);
    }
    if (align < sizeof(void*)) {
        align = sizeof(void*);
    }
    void* p = nullptr;
    return posix_memalign(&p, align, size) == 0 ? p : nullptr;
}

// The throwing allocation: an injected failure, or the usual loop calling
// the new handler while the system has no memory.
void* allocate(std::size_t size, std::size_t align) {
    if (failure_due()) {
        throw std::bad_alloc();
    }
    for (;;) {
        if (void* p = system_allocate(size, align)) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* allocate_nothrow(std::size_t size, std::size_t align) noexcept {
    if (failure_due()) {
        return nullptr;
    }
    for (;;) {
        if (void* p = system_allocate(size, align)) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            return nullptr;
        }
        try {
            handler();
        } catch (...) {
            return nullptr;
        }
    }
}

std::size_t alignment(std::align_val_t a) noexcept { return static_cast<std::size_t>(a); }

}  // namespace

namespace quendle {

void fault_point() {
    if (failure_due()) {
        throw std::bad_alloc();
    }
}

}  // namespace quendle

#define QUENDLE_EXPORT __attribute__((visibility("default")))

extern "C" {

QUENDLE_EXPORT void quendle_fail_after(long n) { arm(n, false); }
QUENDLE_EXPORT void quendle_fail_from(long n) { arm(n, true); }
QUENDLE_EXPORT long quendle_allocations() { return g_allocations.load(std::memory_order_relaxed); }
QUENDLE_EXPORT long quendle_failures() { return g_failures.load(std::memory_order_relaxed); }

}  // extern "C"

// ------------------------------------------------------- allocation functions

QUENDLE_EXPORT void* operator new(std::size_t size) { return allocate(size, 0); }
QUENDLE_EXPORT void* operator new[](std::size_t size) { return allocate(size, 0); }
QUENDLE_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_nothrow(size, 0);
}
QUENDLE_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_nothrow(size, 0);
}
QUENDLE_EXPORT void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, alignment(a)); }
QUENDLE_EXPORT void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, alignment(a)); }
QUENDLE_EXPORT void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_nothrow(size, alignment(a));
}
QUENDLE_EXPORT void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_nothrow(size, alignment(a));
}

// --------------------------------------------------------- release functions

QUENDLE_EXPORT void operator delete(void* p) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete(void* p, std::size_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
QUENDLE_EXPORT void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
