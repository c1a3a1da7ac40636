// The Microsoft-ABI stand-ins for the framework's factory library and message-window component
// (framework_double.cpp, built as "MirFact.dll" by clang and lld-link), and what they saw of the
// calls a module made into them. The host reads that record through the export MsAbiDoubleLog.
#ifndef MIREL_TESTS_MSABI_FRAMEWORK_DOUBLE_H
#define MIREL_TESTS_MSABI_FRAMEWORK_DOUBLE_H

#include "mirel/component_config.h"
#include "mirel/message_window.h"

// The two words the factory's record holds; the module copies them crosswise into its
// ComponentConfig (word 0 to offset 12, word 1 to offset 8).
constexpr int32_t kRecordWord0 = 0x1234ABCD;
constexpr int32_t kRecordWord1 = -0x5678EF01;
// Written through the pWord4 of the n-th LoadComponentConfig call: kWord4Base + n.
constexpr int32_t kWord4Base = 0x4440;

struct DoubleLog {
    static constexpr int kMaxCalls = 8;

    // Factory slot 6, LoadComponentConfig: arguments, and the record's bytes as they arrived.
    int nConfigCalls;
    struct {
        char szPath[260];
        int32_t nComponentId;
        ComponentConfig* pConfig;
        int32_t* pWord4;
        bool bRecordPointer;  // ppRecord was given
        unsigned char abArrived[sizeof(ComponentConfig)];
    } config[kMaxCalls];

    // Factory slot 5, CreateComponentByID.
    int nCreateCalls;
    struct {
        int32_t nComponentId;
        char szPath[260];
    } create[kMaxCalls];

    // Factory slot 10, NotifyModuleUnloadable; slots 7 to 9, never to be called.
    int nUnloadableCalls;
    void* hUnloadable;
    int nReservedCalls;
    int32_t nFactoryAutoFree;  // the last SetAutoFree on the factory component, -1 if none

    // The window component: SetAutoFree, CreateMessageWindow, Release.
    int32_t nWindowAutoFree;  // -1 if never set
    int nWindowCreateCalls;
    HWND* phWndGiven;
    IMessageSink* pSink;
    HWND hWnd;
    int nWindowReleases;
    int32_t nWindowReleaseForce;
    // Every message the window passed to the sink: the last WM_TIMER's words and the result.
    int nTimerMessages;
    HWND hTimerWnd;
    uintptr_t nTimerWParam;
    intptr_t nTimerLParam;
    int32_t nTimerResult;
};

typedef DoubleLog* (*MsAbiDoubleLogFn)();

#endif  // MIREL_TESTS_MSABI_FRAMEWORK_DOUBLE_H
