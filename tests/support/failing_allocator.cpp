#include "tests/support/failing_allocator.h"

#include <stdlib.h>

#include <new>

namespace {

thread_local int t_nFailures = 0;
thread_local int t_nSkipped = 0;

void* Allocate(size_t nSize) {
    if (t_nFailures > 0 && t_nSkipped > 0) {
        --t_nSkipped;
    } else if (t_nFailures > 0) {
        --t_nFailures;
        return nullptr;
    }
    return malloc(nSize == 0 ? 1 : nSize);
}

}  // namespace

CFailingAllocations::CFailingAllocations(int nFailures, int nSkipped) {
    t_nFailures = nFailures;
    t_nSkipped = nSkipped;
}

CFailingAllocations::~CFailingAllocations() {
    t_nFailures = 0;
    t_nSkipped = 0;
}

void* operator new(size_t nSize) {
    void* p = Allocate(nSize);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new(size_t nSize, const std::nothrow_t&) noexcept {
    return Allocate(nSize);
}

void operator delete(void* p) noexcept {
    free(p);
}

void operator delete(void* p, size_t) noexcept {
    free(p);
}
