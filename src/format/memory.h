// Memory for the few large buffers a run keeps (the message table, the user IDs seen): on
// Linux it is backed by 2 MiB pages where the system allows, so that filling half a million
// table entries costs a handful of page faults instead of thousands.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

template <class T> struct large_allocator {
    using value_type = T;

    large_allocator() = default;
    template <class U> large_allocator(const large_allocator<U> &) {}

    T *allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
#ifdef __linux__
        if (bytes >= HUGE_PAGE) {
            // Whole huge pages, aligned to one, asked for as such; the request is advice.
            const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
            void *p = std::aligned_alloc(HUGE_PAGE, rounded);
            if (p == nullptr)
                throw std::bad_alloc();
            madvise(p, rounded, MADV_HUGEPAGE);
            return static_cast<T *>(p);
        }
#endif
        return static_cast<T *>(::operator new(bytes));
    }

    void deallocate(T *p, [[maybe_unused]] std::size_t n) {
#ifdef __linux__
        if (n * sizeof(T) >= HUGE_PAGE) {
            std::free(p);
            return;
        }
#endif
        ::operator delete(p);
    }

    template <class U> bool operator==(const large_allocator<U> &) const {
        return true;
    }
};
