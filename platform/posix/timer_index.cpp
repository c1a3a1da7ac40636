#include "platform/posix/timer_index.h"

namespace mirel_ui {

// The window is mixed in first, so that the same IDs on two windows land apart; the hash's top
// bits are the home, as for every key of a hash index.
uint32_t CTimerIndex::Hash(HWND hWnd, UINT_PTR nID) {
    const uint64_t nWindow =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hWnd)) * kGoldenRatio64;
    return static_cast<uint32_t>(((nWindow ^ static_cast<uint64_t>(nID)) * kGoldenRatio64) >> 32);
}

}  // namespace mirel_ui
