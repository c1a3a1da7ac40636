// Runs the calling thread's message loop for a while, as a host application would between its
// own work, so that timers set on windows of this thread are delivered.
#ifndef MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
#define MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H

#include <functional>

// Dispatches this thread's messages for about nMilliseconds.
void PumpMessages(unsigned nMilliseconds);
// Dispatches this thread's messages until the condition holds or the time is up; returns the
// condition's last answer.
bool PumpMessagesUntil(const std::function<bool()>& condition, unsigned nTimeoutMs);

#endif  // MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
