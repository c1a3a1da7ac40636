// CTestComponent: a component of the test build, on the module's own component base, that records
// what the release path does to it and lets a test raise the hold count and the force-only flag,
// which nothing in the shipped module touches.
#ifndef MIREL_TESTS_SUPPORT_TEST_COMPONENT_H
#define MIREL_TESTS_SUPPORT_TEST_COMPONENT_H

#include <atomic>

#include "component/component_impl.h"

// An interface with one slot of its own, as a component's interface continues IComponent.
class ITestComponent : public IComponent {
public:
    virtual int32_t Ping() = 0;  // slot 5

protected:
    ~ITestComponent() = default;
};

// What happened to test components; survives their destruction.
struct TestComponentLog {
    std::atomic<int> nShutdowns{0};
    std::atomic<int> nDestroyed{0};
    void Reset() {
        nShutdowns = 0;
        nDestroyed = 0;
    }
};

template <int32_t kId>
class TTestComponent : public TComponentImpl<ITestComponent, kId> {
public:
    explicit TTestComponent(TestComponentLog* pLog = nullptr) : m_pLog(pLog) {}
    ~TTestComponent() override {
        if (m_pLog != nullptr)
            ++m_pLog->nDestroyed;
    }

    int32_t Ping() override { return 42; }
    void Shutdown() override {
        if (m_pLog != nullptr)
            ++m_pLog->nShutdowns;
    }

    void SetHoldCount(int32_t n) { this->m_nHoldCount = n; }
    void SetForceOnly(int32_t b) { this->m_bForceOnly = b; }
    int32_t IsAlive() const { return this->m_bAlive; }
    // For tests that destroy a component behind the release path's back.
    void DestroyDirectly() { delete static_cast<CComponentHolder*>(this); }

private:
    TestComponentLog* m_pLog;
};

constexpr int32_t kTestComponentId = 4242;
using CTestComponent = TTestComponent<kTestComponentId>;

#endif  // MIREL_TESTS_SUPPORT_TEST_COMPONENT_H
