#include "timer/timer_manager.h"

#include <iterator>

#include "factory/factory_loader.h"

namespace {

// The destroyed flag of the process-wide manager, in a byte of its own, so that its clean-up runs
// at most once however its destruction is reached.
unsigned char ManagerDestroyedFlags = 0;
constexpr unsigned char kManagerDestroyed = 0x01;

}  // namespace

TimerPlatformCalls CTimerManager::RealPlatformCalls() {
    TimerPlatformCalls calls;
    calls.pfnSetTimer = &SetTimer;
    calls.pfnKillTimer = &KillTimer;
    calls.pfnIsWindow = &IsWindow;
    return calls;
}

CTimerManager::CTimerManager()
    : m_config(kTimerComponentId),
      m_hWnd(nullptr),
      m_nNextTimerID(1),
      m_pMessageWindow(nullptr),
      m_bCounterWrapped(false),
      m_calls(RealPlatformCalls()) {}

CTimerManager::~CTimerManager() {
    if ((ManagerDestroyedFlags & kManagerDestroyed) != 0) {
        return;
    }
    ManagerDestroyedFlags |= kManagerDestroyed;
    // The message-window component is deliberately not released: at unload its module may already
    // be gone, and the window dies with its owner anyway.
    KillAllTimers();
}

uint32_t CTimerManager::AllocateTimerID() {
    // 0 is no timer ID for the caller, and after the counter wraps an ID may still be running, so
    // both are skipped. There are fewer live timers than IDs, so the loop ends.
    for (;;) {
        const uint32_t nId = m_nNextTimerID++;
        if (m_nNextTimerID == 0) {
            m_bCounterWrapped = true;
        }
        if (nId != 0 && !(m_bCounterWrapped && IsTimerIdInUse(nId))) {
            return nId;
        }
    }
}

bool CTimerManager::IsTimerIdInUse(uint32_t nTimerId) const {
    for (const TimerTable::value_type& owner : m_mapTimers) {
        if (owner.second.count(nTimerId) != 0) {
            return true;
        }
    }
    return false;
}

OwnerTimers::iterator CTimerManager::FindTimer(OwnerTimers& timers, uint32_t nTimerId) {
    // A timer stopped soon after it was started is usually its owner's newest, the last entry.
    if (!timers.empty() && std::prev(timers.end())->first == nTimerId) {
        return std::prev(timers.end());
    }
    return timers.find(nTimerId);
}

int32_t CTimerManager::EnsureWindow() {
    if (m_pMessageWindow != nullptr) {
        return 0;
    }
    IComponent* pComponent = nullptr;
    CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr);
    if (pComponent == nullptr) {
        return 0;
    }
    m_pMessageWindow = static_cast<IMessageWindow*>(pComponent);
    return m_pMessageWindow->CreateMessageWindow(&m_hWnd, this);
}

uint32_t CTimerManager::StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                                   ITimerHandler* pHandler) {
    if (m_hWnd == nullptr) {
        EnsureWindow();
    }
    // Checked before an ID is taken, so that a missing window consumes none.
    if (!m_calls.pfnIsWindow(m_hWnd)) {
        return 0;
    }
    const uint32_t nTimerId = AllocateTimerID();
    // The timer is set before it is recorded; its first WM_TIMER cannot be dispatched in between,
    // because the dispatch runs on this same thread.
    if (m_calls.pfnSetTimer(m_hWnd, nTimerId, nElapseMs, nullptr) == 0) {
        return 0;
    }
    // IDs grow, so the new one belongs at the end of its owner's map unless the counter wrapped;
    // the hint makes that insertion cheap and is only a hint otherwise. An ID already there (only
    // possible after a wrap) has its entry overwritten.
    OwnerTimers& timers = m_mapTimers[pOwner];
    timers.insert_or_assign(timers.end(), nTimerId, TimerEntry{nUserValue, pHandler});
    return nTimerId;
}

int32_t CTimerManager::ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs) {
    TimerTable::iterator owner = m_mapTimers.find(pOwner);
    if (owner == m_mapTimers.end() || FindTimer(owner->second, nTimerId) == owner->second.end()) {
        return 0;
    }
    // Setting an existing ID again replaces the timer and restarts its countdown.
    return m_calls.pfnSetTimer(m_hWnd, nTimerId, nElapseMs, nullptr) != 0 ? 1 : 0;
}

void CTimerManager::StopTimer(ITimer* pOwner, uint32_t nTimerId) {
    TimerTable::iterator owner = m_mapTimers.find(pOwner);
    if (owner == m_mapTimers.end()) {
        return;
    }
    OwnerTimers::iterator timer = FindTimer(owner->second, nTimerId);
    if (timer == owner->second.end()) {
        return;
    }
    m_calls.pfnKillTimer(m_hWnd, nTimerId);
    // The owner entry stays even when empty: only StopAllTimers gives up ownership of the window.
    owner->second.erase(timer);
}

void CTimerManager::StopAllTimers(ITimer* pOwner) {
    TimerTable::iterator owner = m_mapTimers.find(pOwner);
    if (owner == m_mapTimers.end()) {
        return;
    }
    for (const OwnerTimers::value_type& timer : owner->second) {
        m_calls.pfnKillTimer(m_hWnd, timer.first);
    }
    m_mapTimers.erase(owner);
}

int32_t CTimerManager::OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam,
                                       intptr_t /*lParam*/, int32_t /*nExtra*/) {
    if (hWnd != m_hWnd || uMsg != kTimerMessage) {
        return 0;
    }
    const uint32_t nTimerId = static_cast<uint32_t>(wParam);
    for (TimerTable::value_type& owner : m_mapTimers) {
        OwnerTimers::iterator timer = owner.second.find(nTimerId);
        if (timer == owner.second.end()) {
            continue;
        }
        // Copied out first: the handler may stop this timer, release its component or release the
        // last one, and nothing of the table is read after it returns.
        const TimerEntry entry = timer->second;
        if (entry.pHandler != nullptr) {
            entry.pHandler->OnTimer(nTimerId, entry.nUserValue);
        }
        break;
    }
    return 0;
}

void CTimerManager::ReleaseWindowIfUnused() {
    if (!m_mapTimers.empty()) {
        return;
    }
    IComponent* pComponent = m_pMessageWindow;
    ReleaseOwned(&pComponent);
    m_pMessageWindow = nullptr;
    m_hWnd = nullptr;
}

void CTimerManager::KillAllTimers() {
    for (TimerTable::value_type& owner : m_mapTimers) {
        for (const OwnerTimers::value_type& timer : owner.second) {
            m_calls.pfnKillTimer(m_hWnd, timer.first);
        }
        owner.second.clear();
    }
    m_mapTimers.clear();
    m_hWnd = nullptr;
}
