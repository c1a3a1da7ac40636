// A replacement of the global allocation functions for the program that links it: while armed on
// a thread, the next allocations of that thread fail as if memory had run out, so that a test can
// reach the out-of-memory paths. Other threads allocate as usual.
#ifndef MIREL_TESTS_SUPPORT_FAILING_ALLOCATOR_H
#define MIREL_TESTS_SUPPORT_FAILING_ALLOCATOR_H

// Fails the next nFailures allocations of the calling thread while it lives, after letting
// nSkipped succeed, so that a test can run out of memory at any step of an operation.
class CFailingAllocations {
public:
    explicit CFailingAllocations(int nFailures = 1, int nSkipped = 0);
    ~CFailingAllocations();
    CFailingAllocations(const CFailingAllocations&) = delete;
    CFailingAllocations& operator=(const CFailingAllocations&) = delete;
};

#endif  // MIREL_TESTS_SUPPORT_FAILING_ALLOCATOR_H
