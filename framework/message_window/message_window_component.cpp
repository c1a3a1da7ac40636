#include "framework/message_window/message_window_component.h"

#include <new>

#include "framework/message_window/window_table.h"
#include "base/module_trace.h"

CMessageWindow::CMessageWindow()
    : m_pRecord(nullptr), m_pHeldRecord(nullptr), m_pbReleaseHeld(nullptr) {}

int32_t CMessageWindow::CreateMessageWindow(HWND* phWnd, IMessageSink* pSink) {
    if (phWnd == nullptr) {
        TraceModuleError("MirelMsgWnd: CreateMessageWindow without a place for the handle\n");
        return 0;
    }
    *phWnd = nullptr;
    if (m_pRecord != nullptr) {
        if (WindowTable.IsWindowAlive(m_pRecord)) {
            // A second window would leave the first one without an owner that can end it.
            TraceModuleError(
                "MirelMsgWnd: the component already has a window; one window per "
                "component\n");
            return 0;
        }
        // Destroyed by someone else: let go of its record and make a new one.
        WindowTable.ReleaseWindow(m_pRecord, this);
        m_pRecord = nullptr;
    }
    m_pRecord = WindowTable.CreateWindowFor(pSink, phWnd);
    return m_pRecord != nullptr ? 1 : 0;
}

void CMessageWindow::Release(int32_t nForce) {
    bool bHeld = false;
    m_pbReleaseHeld = &bHeld;
    Base::Release(nForce);
    // Unless Shutdown held the object, it may be gone now: nothing of it is touched.
    if (bHeld) {
        MessageWindowRecord* pRecord = m_pHeldRecord;
        m_pbReleaseHeld = nullptr;
        // From here on the window's thread may finish the release at any moment.
        WindowTable.OnReleaseReturned(pRecord);
    }
}

void CMessageWindow::Shutdown() {
    MessageWindowRecord* pRecord = m_pRecord;
    m_pRecord = nullptr;
    if (pRecord == nullptr) {
        return;
    }
    if (WindowTable.ReleaseWindow(pRecord, this)) {
        // The hold count keeps the release path from destroying the object until the window is
        // gone; the module stays busy meanwhile, as its window procedure may still run.
        m_nHoldCount = 1;
        m_pHeldRecord = pRecord;
        if (m_pbReleaseHeld != nullptr) {
            *m_pbReleaseHeld = true;
        }
    }
}

void CMessageWindow::FinishHeldRelease() {
    m_pHeldRecord = nullptr;
    m_nHoldCount = 0;
    // Shutdown has run already; this pass destroys the object and removes it from the registry.
    // Forced, so that only the DllSafe gate can still keep it.
    Base::Release(1);
}

IComponent* CreateMessageWindowComponent() {
    return new (std::nothrow) CMessageWindow();
}
