// The tests' one message pump: runs the calling thread's message loop as a host application would
// between its own work, so that timers and messages of this thread's windows are delivered. It
// blocks in GetMessageA rather than polling; a thread timer of its own wakes it every few
// milliseconds, so that a condition another thread makes true is seen without a message to wait
// for.
#ifndef MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
#define MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H

#include <functional>

#include "platform/windows_api.h"

// Gets and dispatches this thread's messages until done() holds, the time is up or WM_QUIT comes;
// returns done()'s last answer.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD dwTimeoutMs);
// Dispatches this thread's messages for about dwMs.
void PumpMessages(DWORD dwMs);

#endif  // MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
