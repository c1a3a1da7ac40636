// What the timer service's tests share: a handler that records its expiries, and the configuration
// that gives the service its real hidden window (the factory library and a message-window module
// beside the test program). Used on the test's own threads; the handler's record is locked, as
// the window's thread and a test's workers read it at once.
#ifndef MIREL_TESTS_SUPPORT_TIMER_TEST_SUPPORT_H
#define MIREL_TESTS_SUPPORT_TIMER_TEST_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mirel/timer.h"
#include "tests/support/temp_dir.h"

class CRecordingHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override;

    size_t CountFor(uint32_t nTimerId) const;
    size_t Count() const;
    std::vector<std::pair<uint32_t, int32_t>> Calls() const;

    // Runs inside OnTimer, after the call is recorded, on the window's thread.
    std::function<void(uint32_t)> m_onTimer;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint32_t, int32_t>> m_calls;
};

// Writes Mirel.ini into the folder: the factory library beside the test program and, unless the
// name is empty, the given module for component 33. Returns the file's path.
std::string WriteTimerConfiguration(const CTempDir& dir, const std::string& messageWindowModule);

// A new timer component from this program's module frame (creator ID 1).
ITimer* NewTimerComponent();

#endif  // MIREL_TESTS_SUPPORT_TIMER_TEST_SUPPORT_H
