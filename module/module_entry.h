// The module's entry point (DllMain) and the one step a module may add to it: what runs on a
// thread that is ending, on that thread, while its windows still exist. On Windows the loader
// calls it with DLL_THREAD_DETACH; on POSIX the platform layer does, for every thread that ends
// with a message queue, under its loader lock as on Windows.
#ifndef MIREL_MODULE_MODULE_ENTRY_H
#define MIREL_MODULE_MODULE_ENTRY_H

// Null unless the module sets it from a static initialiser; never changed afterwards.
extern void (*ModuleThreadDetachStep)();

#endif  // MIREL_MODULE_MODULE_ENTRY_H
