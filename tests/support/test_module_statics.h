// Creation functions registered in the test build's factory table.
#ifndef MIREL_TESTS_SUPPORT_TEST_MODULE_STATICS_H
#define MIREL_TESTS_SUPPORT_TEST_MODULE_STATICS_H

#include "tests/support/test_component.h"

constexpr int32_t kNullComponentId = 4243;        // its creation function returns null
constexpr int32_t kSameObjectComponentId = 4244;  // hands out the same object every time
constexpr int kTestTableRows = 5;

// Shutdowns and destructions of the components the table creates.
extern TestComponentLog TestLog;

// After the shared object has been released, the next creation makes a new one.
void ForgetSharedTestComponent();

#endif  // MIREL_TESTS_SUPPORT_TEST_MODULE_STATICS_H
