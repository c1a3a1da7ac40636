// The timer module's static objects, in the order the module needs them at load and, reversed,
// at unload: the registry first (so that it outlives everything that may release components), the
// timer manager, the registration of the timer component, and last the entry glue that delivers
// the process-attach step after them and the process-detach step before their destruction.
#include <new>

#include "module/factory_table.h"
#include "module/live_registry.h"
#include "platform/module_entry_glue.h"
#include "timer/timer_component.h"
#include "timer/timer_manager.h"

LiveComponentMap LiveRegistry;

namespace {

// The manager's object is built in place and never destroyed, so that a thread still calling a
// live component while the process exits (POSIX runs the static destructors meanwhile) finds an
// intact manager that answers "no window, no timer". Destroying this holder ends the manager's
// work instead (Destroy), except at process exit on Windows, where it touches nothing.
class CTimerManagerHolder {
public:
    CTimerManagerHolder() { new (m_storage) CTimerManager(); }
    ~CTimerManagerHolder() {
        if (!ProcessExiting.load(std::memory_order_relaxed)) {
            Get().Destroy();
        }
    }
    CTimerManagerHolder(const CTimerManagerHolder&) = delete;
    CTimerManagerHolder& operator=(const CTimerManagerHolder&) = delete;
    CTimerManager& Get() { return *std::launder(reinterpret_cast<CTimerManager*>(m_storage)); }

private:
    alignas(CTimerManager) unsigned char m_storage[sizeof(CTimerManager)];
};

CTimerManagerHolder TimerManagerHolder;

}  // namespace

CTimerManager& TimerManager = TimerManagerHolder.Get();

namespace {
CFactoryRegistration TimerRegistration(kTimerComponentId, CreateTimerComponent);
CModuleEntryGlue EntryGlue;
}  // namespace
