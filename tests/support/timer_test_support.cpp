#include "tests/support/timer_test_support.h"

#include "mirel/exports.h"

int32_t CRecordingHandler::OnTimer(uint32_t nTimerId, int32_t nUserValue) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls.emplace_back(nTimerId, nUserValue);
    }
    if (m_onTimer)
        m_onTimer(nTimerId);
    return 0;
}

size_t CRecordingHandler::CountFor(uint32_t nTimerId) const {
    std::lock_guard<std::mutex> hold(m_mutex);
    size_t n = 0;
    for (const auto& call : m_calls)
        n += call.first == nTimerId ? 1 : 0;
    return n;
}

size_t CRecordingHandler::Count() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_calls.size();
}

std::vector<std::pair<uint32_t, int32_t>> CRecordingHandler::Calls() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_calls;
}

std::string WriteTimerConfiguration(const CTempDir& dir, const std::string& messageWindowModule) {
    const std::string bin = ExecutableDirectory();
    std::string text = "[361]\r\nDLL=" + bin + "\\MirFact.dll\r\n";
    if (!messageWindowModule.empty()) {
        text += "[Components]\r\n33=" + bin + "\\" + messageWindowModule + "\r\n";
    }
    return dir.Write("Mirel.ini", text);
}

ITimer* NewTimerComponent() {
    return static_cast<ITimer*>(CreateComponent(kTimerComponentId, 1));
}
