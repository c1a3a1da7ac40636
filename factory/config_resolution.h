// Configuration resolution: turns a registry path into the file path of the factory library, by
// way of Mirel.ini beside the executable, its chain of redirections and the keys of section "361",
// and loads that library. Runs on the caller's thread and takes no lock of its own (the idle
// notification calls it under the module lock). No heap: fixed local buffers and one process-wide
// cache of the executable's directory.
#ifndef MIREL_FACTORY_CONFIG_RESOLUTION_H
#define MIREL_FACTORY_CONFIG_RESOLUTION_H

#include <atomic>

#include "base/module_state.h"
#include "platform/windows_api.h"

constexpr char kDefaultConfigFileName[] = "Mirel.ini";
constexpr int kFlagBufferSize = 10;  // the trimmed "NotUseDefaultDllPath" value
// How many configuration files one chain of absolute redirections may read, the start file
// included, before it stops (see FollowRedirect).
constexpr int kMaxConfigFiles = 16;
constexpr int kNoSeparator = -1;

// Path tests. A path that contains a colon or begins with a backslash is absolute; null and
// everything else, a leading slash included, is relative.
int IsBlank(const char* szString);
int IsRelativePath(const char* szPath);
// Position of the last backslash, or only when there is none, of the last slash; else
// kNoSeparator.
int FindLastSeparator(const char* szPath);

// Copies a configuration value without its leading and trailing blanks and tabs; blanks and tabs
// between words stay, so that a path such as "C:\Program Files\MirFact.dll" survives. A value
// made only of blanks and tabs, or one whose kept part does not fit, leaves the destination empty.
void TrimBlanks(const char* szValue, char* szDest, int nSize);

// The directory of the process's executable (not of this library), without a trailing
// backslash, filled once on first use. Several threads may ask at the same time: one fills while
// the others wait, and the text is never written again once someone has read it.
class CExeDirectoryCache {
public:
    constexpr CExeDirectoryCache() : m_nState(kEmpty), m_szDirectory{} {}
    CExeDirectoryCache(const CExeDirectoryCache&) = delete;
    CExeDirectoryCache& operator=(const CExeDirectoryCache&) = delete;

    // The cached directory; the empty string when the platform could not name the executable,
    // in which case the next call asks again.
    const char* Get();

private:
    enum : int { kEmpty, kFilling, kFilled };

    std::atomic<int> m_nState;
    char m_szDirectory[kPathBufferSize];
};

extern CExeDirectoryCache ExeDirectory;
const char* GetExeDirectory();

// Path builders. Each writes a terminated string of at most nSize - 1 characters; a piece that
// does not fit is left out (MakeExePath shortens instead), so a result is shorter, never spilled.
int MakeExePath(const char* szName, char* szDest, int nSize);
int MakeSiblingPath(const char* szFilePath, const char* szName, char* szDest, int nSize);
void JoinDirectory(const char* szBase, const char* szName, char* szDest, int nSize);

// How the start file of the chain was chosen.
enum class EStartRule {
    kDefaultName,    // no registry path: Mirel.ini in the executable's directory
    kRelativeToExe,  // a relative registry path, joined to the executable's directory
    kAsGiven,        // an absolute registry path, used unchanged
};

// What the "Redirect" section of one configuration file made of the chain.
enum class ERedirectRule {
    kNone,      // blank: this file is the configuration file
    kRelative,  // relative: the file beside this one is the configuration file, read no further
    kAbsolute,  // absolute: that file is read in its turn
    kCycle,     // absolute, but the chain has read that file already: this file is used
    kLimit,     // absolute, but kMaxConfigFiles files have been read: this file is used
};

// Which way the factory library's path was put together (one row per way).
enum class EModulePathRule {
    kAbsoluteDll,         // "DLL" is absolute and used unchanged
    kConfigDirByFlag,     // "NotUseDefaultDllPath" begins with '1': configuration directory + "DLL"
    kConfigDir,           // "DllPath" is blank: configuration directory + "DLL"
    kAbsoluteDefaultDir,  // "DllPath" + '\' + "DLL"
    kRelativeDefaultDir,  // configuration directory + "DllPath" + '\' + "DLL"
};

// Watches a resolution step by step, so that a tool can explain what the module does with a given
// configuration by running the module's own code. The module itself passes no observer. Every
// string is valid only during the call.
class IResolutionObserver {
public:
    virtual void OnStartFile(const char* /*szRegistryPath*/, EStartRule /*eRule*/,
                             const char* /*szStartFile*/) {}
    // szNextFile is the file the chain goes on to (kAbsolute) or ends with (kRelative); for the
    // other rules it is szFile itself.
    virtual void OnRedirect(const char* /*szFile*/, const char* /*szValue*/,
                            ERedirectRule /*eRule*/, const char* /*szNextFile*/) {}
    virtual void OnConfigFile(const char* /*szConfigFile*/) {}
    // A key as read and as used; "DllPath" is used untrimmed, so both strings are the raw value.
    virtual void OnKey(const char* /*szSection*/, const char* /*szKey*/, const char* /*szRaw*/,
                       const char* /*szUsed*/) {}
    virtual void OnModulePath(EModulePathRule /*eRule*/, const char* /*szModulePath*/) {}

protected:
    ~IResolutionObserver() = default;
};

// Stage 1: the configuration file for a registry path (null or empty: the default name).
void ResolveConfigFile(const char* szRegistryPath, char* szDest, int nSize,
                       IResolutionObserver* pObserver = nullptr);
void FollowRedirect(const char* szConfigFile, char* szDest, int nSize,
                    IResolutionObserver* pObserver = nullptr);
// Stage 2: the factory library's path from a configuration file.
void ResolveFactoryDllPath(const char* szConfigFile, char* szDest, int nSize,
                           IResolutionObserver* pObserver = nullptr);
// Both stages, as LoadFactoryModule runs them.
void ResolveFactoryModulePath(const char* szRegistryPath, char* szDest, int nSize,
                              IResolutionObserver* pObserver = nullptr);

// FactoryHandle when the host has given one; otherwise the resolved library, loaded afresh on
// every call and never unloaded. Null when loading fails.
HMODULE LoadFactoryModule(const char* szRegistryPath);

#endif  // MIREL_FACTORY_CONFIG_RESOLUTION_H
