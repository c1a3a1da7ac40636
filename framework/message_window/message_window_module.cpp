// The message-window module's static objects, in the order the module needs them at load and,
// reversed, at unload: the registry first (so that it outlives everything that may release
// components), the table of windows, the registration of component 33, and last the entry glue
// that delivers the process-attach step after them and the process-detach step before their
// destruction.
#include "framework/message_window/message_window_component.h"
#include "framework/message_window/window_table.h"
#include "module/factory_table.h"
#include "module/live_registry.h"
#include "module/module_entry.h"
#include "platform/module_entry_glue.h"

LiveComponentMap LiveRegistry;
CWindowTable WindowTable;

namespace {
// A window whose thread ends is destroyed by that thread on its way out, not dropped silently.
const bool ThreadDetachStepSet = (
    ModuleThreadDetachStep = [] { WindowTable.DestroyWindowsOfEndingThread(); }, true);
CFactoryRegistration MessageWindowRegistration(kMessageWindowComponentId,
                                               CreateMessageWindowComponent);
CModuleEntryGlue EntryGlue;
}  // namespace
