// The static objects of the test build's module frame: the registry and the creation functions
// the frame tests use. The test program is not a module, so no entry glue runs the attach step.
#include "module/factory_table.h"
#include "module/live_registry.h"
#include "tests/support/test_module_statics.h"

LiveComponentMap LiveRegistry;

TestComponentLog TestLog;

namespace {

IComponent* CreateLoggedComponent() {
    return new CTestComponent(&TestLog);
}
IComponent* CreateNothing() {
    return nullptr;
}
IComponent* CreateFactoryLike() {
    return new TTestComponent<kFactoryComponentId>(&TestLog);
}

CTestComponent* g_pShared = nullptr;
IComponent* CreateSameObject() {
    if (g_pShared == nullptr) {
        g_pShared = new CTestComponent(&TestLog);
    }
    return g_pShared;
}

CFactoryRegistration Registrations[] = {
    {kTestComponentId, CreateLoggedComponent},  {kNullComponentId, CreateNothing},
    {kSameObjectComponentId, CreateSameObject}, {kFactoryComponentId, CreateFactoryLike},
    {kTestComponentId, CreateNothing},  // a later row for the same ID is never reached
};

}  // namespace

void ForgetSharedTestComponent() {
    g_pShared = nullptr;
}
