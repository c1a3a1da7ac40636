// The timer module's static objects, in the order the module needs them at load and, reversed,
// at unload: the registry first (so that it outlives everything that may release components), the
// timer manager, the registration of the timer component, and last the entry glue that delivers
// the process-attach step after them and the process-detach step before their destruction.
#include "module/factory_table.h"
#include "module/live_registry.h"
#include "platform/module_entry_glue.h"
#include "timer/timer_component.h"
#include "timer/timer_manager.h"

LiveComponentMap LiveRegistry;
CTimerManager TimerManager;

namespace {
CFactoryRegistration TimerRegistration(kTimerComponentId, CreateTimerComponent);
CModuleEntryGlue EntryGlue;
}  // namespace
