// THashIndex: the one open-addressing hash index of the module and of the POSIX stand-ins. The
// timer table finds its records by timer ID and its owners by address through it, and the POSIX
// timer heap its timers by window and ID. Header-only, so that both layers use the same code. Not
// locked: each user guards its index as it guards the table the index serves.
//
// How it works, and what must always hold (checked in debug builds where it is cheap):
//  * The slots form one array whose size is a power of two (or which is empty), and at most half
//    of them are used, so that every walk ends soon at a free slot. An insertion that finds at
//    most an eighth of them used first rebuilds the array at a quarter full: after a peak of
//    entries has gone, the few left would otherwise be spread over an array many times the size
//    they need, and each look-up would miss the cache. Removals never rebuild, so they never
//    allocate or free.
//  * Linear probing: an entry sits at its home or, when that is taken, at the first free slot
//    after it (cyclically). Every entry is reachable from its home: no free slot lies between the
//    two. A look-up walks from the home and stops at the first free slot.
//  * Removal shifts back instead of leaving markers: after a slot is freed, each later entry of
//    the same run moves into the hole unless its home lies cyclically in (hole, entry], so the
//    index never degrades however many entries come and go.
//  * The home is the top bits of a 32-bit hash of the key. Keys hash by Fibonacci hashing
//    (multiplying by 2^32 or 2^64 divided by the golden ratio and keeping the top bits, which are
//    the best mixed): consecutive timer IDs and aligned addresses spread over the whole array, so
//    that long-lived timers and new ones never meet in one long run. Homes that keep runs of
//    eight consecutive IDs in one cache line were measured beside this on the timer service's
//    start+stop and dispatch benchmarks and were not faster.
//
// What a slot holds is the user's. TSlot is a small struct with IsFree() and a static Free();
// the index learns the hash of a used slot from a hashOf(slot) function that its user passes
// wherever homes must be recomputed (removal and growth), so that a slot may hold its key, a
// place in another array, or a stored hash.
#ifndef MIREL_PLATFORM_HASH_INDEX_H
#define MIREL_PLATFORM_HASH_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <utility>
#include <vector>

#include "platform/debug_check.h"

#ifndef _WIN32
// Modules and the POSIX library each keep their own copy inside them.
#pragma GCC visibility push(hidden)
#endif

constexpr uint32_t kGoldenRatio32 = 0x9E3779B9u;
constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ull;

// Fibonacci hashes of the keys the indexes use.
inline uint32_t HashOfId(uint32_t nId) {
    return nId * kGoldenRatio32;
}
inline uint32_t HashOfAddress(const void* pAddress) {
    return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(pAddress) * kGoldenRatio64) >> 32);
}

template <class TSlot>
class THashIndex {
public:
    static constexpr size_t kNotFound = static_cast<size_t>(-1);

    size_t Count() const { return m_nCount; }
    size_t BytesHeld() const { return m_slots.capacity() * sizeof(TSlot); }
    TSlot& operator[](size_t nSlot) { return m_slots[nSlot]; }
    const TSlot& operator[](size_t nSlot) const { return m_slots[nSlot]; }

    // The slot of the entry for which isKey(slot) holds among those of this hash, or kNotFound.
    template <class TIsKey>
    size_t Find(uint32_t nHash, TIsKey isKey) const {
        if (m_slots.empty()) {
            return kNotFound;
        }
        const size_t n = Walk(nHash, isKey);
        return m_slots[n].IsFree() ? kNotFound : n;
    }

    // Starts bringing the hash's home slot into the cache, for a caller that has other work to
    // do before its walk from there: the walk then finds the line loaded instead of waiting for
    // it. Changes nothing; free where the index is small enough to stay in the cache anyway.
    void Prefetch(uint32_t nHash) const {
        if (!m_slots.empty()) {
            __builtin_prefetch(&m_slots[nHash >> m_nShift], 1);
        }
    }

    // One walk for an insertion: the slot of the entry for which isKey holds, or else the free
    // slot that ends the run, where a new entry goes (with Fill). ReserveOneMore must have run.
    template <class TIsKey>
    size_t FindOrFree(uint32_t nHash, TIsKey isKey) const {
        MIREL_DCHECK(!m_slots.empty());
        return Walk(nHash, isKey);
    }

    // Makes room for one more entry, growing the array when it would be more than half full, and
    // shrinking it when it is at most an eighth full. Throws std::bad_alloc when it must grow and
    // cannot, and then leaves the index as it was; a shrink that finds no memory is left out.
    // Fill, Erase and Clear never allocate.
    template <class THashOf>
    void ReserveOneMore(THashOf hashOf) {
        const size_t nNeeded = m_nCount + 1;
        if (nNeeded * 2 > m_slots.size()) {
            Rebuild(m_slots.empty() ? kFirstSize : m_slots.size() * 2, hashOf);
        } else if (nNeeded * 8 <= m_slots.size() && m_slots.size() > kFirstSize) {
            size_t nSize = kFirstSize;
            while (nNeeded * 4 > nSize) {
                nSize *= 2;
            }
            try {
                Rebuild(nSize, hashOf);
            } catch (const std::bad_alloc&) {
                // The larger array serves as well, only with fewer look-ups in the cache.
            }
        }
    }

    // Puts a new entry into the free slot that FindOrFree gave.
    void Fill(size_t nSlot, const TSlot& slot) {
        MIREL_DCHECK(m_slots[nSlot].IsFree() && !slot.IsFree());
        m_slots[nSlot] = slot;
        ++m_nCount;
        MIREL_DCHECK(m_nCount * 2 <= m_slots.size());
    }

    // Frees a used slot; later entries of its run move back so that all stay reachable.
    template <class THashOf>
    void Erase(size_t nSlot, THashOf hashOf) {
        MIREL_DCHECK(nSlot < m_slots.size() && !m_slots[nSlot].IsFree());
        const size_t nMask = m_slots.size() - 1;
        size_t nHole = nSlot;
        for (size_t n = (nSlot + 1) & nMask; !m_slots[n].IsFree(); n = (n + 1) & nMask) {
            const size_t nHome = hashOf(m_slots[n]) >> m_nShift;
            const bool bHomeAfterHole = ((n - nHome) & nMask) < ((n - nHole) & nMask);
            if (!bHomeAfterHole) {
                m_slots[nHole] = m_slots[n];
                nHole = n;
            }
        }
        m_slots[nHole] = TSlot::Free();
        --m_nCount;
    }

    // Frees every slot and keeps the array.
    void Clear() {
        for (TSlot& slot : m_slots) {
            slot = TSlot::Free();
        }
        m_nCount = 0;
    }

private:
    static constexpr size_t kFirstSize = 16;

    // Puts every entry into a new array of nSize slots, which is filled before it replaces the
    // old one, so that a failed allocation leaves the index as it was.
    template <class THashOf>
    void Rebuild(size_t nSize, THashOf hashOf) {
        MIREL_DCHECK(nSize <= (size_t{1} << 32));  // a home is a 32-bit hash's top bits
        MIREL_DCHECK(m_nCount * 2 <= nSize);
        std::vector<TSlot> rebuilt(nSize, TSlot::Free());
        unsigned nShift = 32;
        for (size_t n = nSize; n > 1; n >>= 1) {
            --nShift;
        }
        const size_t nMask = nSize - 1;
        for (const TSlot& slot : m_slots) {
            if (!slot.IsFree()) {
                size_t n = hashOf(slot) >> nShift;
                while (!rebuilt[n].IsFree()) {
                    n = (n + 1) & nMask;
                }
                rebuilt[n] = slot;
            }
        }
        m_slots.swap(rebuilt);
        m_nShift = nShift;
    }

    template <class TIsKey>
    size_t Walk(uint32_t nHash, TIsKey isKey) const {
        const size_t nMask = m_slots.size() - 1;
        size_t n = nHash >> m_nShift;
        while (!m_slots[n].IsFree() && !isKey(m_slots[n])) {
            n = (n + 1) & nMask;
        }
        return n;
    }

    std::vector<TSlot> m_slots;
    size_t m_nCount = 0;
    unsigned m_nShift = 32;  // 32 minus log2 of the size
};

#ifndef _WIN32
#pragma GCC visibility pop
#endif

#endif  // MIREL_PLATFORM_HASH_INDEX_H
