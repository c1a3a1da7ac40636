// The POSIX timer heap's index on its own. Its slots hold a hash, not the key, so it must tell
// apart keys that share a hash and keep every entry reachable when it erases from the middle of
// a run; real keys almost never share 32 bits, so only hashes chosen here reach those paths.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/posix/timer_index.h"

namespace {

using mirel_ui::CTimerIndex;

uint32_t FindEntry(const CTimerIndex& index, uint32_t nHash, uint32_t nEntry) {
    return index.Find(nHash, [nEntry](uint32_t n) { return n == nEntry; });
}

TEST(TimerIndexPosixTest, FindsEveryEntryAmongSharedHashesAndRunsThatWrap) {
    // Two hashes share a home at the start of the table, two at its end, where runs wrap round
    // to its start, and one sits in the middle; each is shared by many entries.
    const uint32_t hashes[] = {0x00000000u, 0x00000001u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu};
    constexpr uint32_t kEntries = 120;
    CTimerIndex index;
    std::map<uint32_t, uint32_t> live;  // entry → its hash
    std::mt19937 random(4321);
    for (int nStep = 0; nStep < 1500; ++nStep) {
        const uint32_t nEntry = random() % kEntries;
        auto it = live.find(nEntry);
        if (it == live.end()) {
            const uint32_t nHash = hashes[random() % 5];
            index.Add(nHash, nEntry);
            live[nEntry] = nHash;
        } else {
            index.Erase(it->second, nEntry);
            live.erase(it);
        }
        for (uint32_t nHash : hashes) {
            for (uint32_t n = 0; n < kEntries; ++n) {
                auto itLive = live.find(n);
                const bool bStored = itLive != live.end() && itLive->second == nHash;
                ASSERT_EQ(FindEntry(index, nHash, n), bStored ? n : CTimerIndex::kNone)
                    << "step " << nStep << ", entry " << n << ", hash " << nHash;
            }
        }
    }
}

}  // namespace
