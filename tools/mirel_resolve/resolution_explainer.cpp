#include "tools/mirel_resolve/resolution_explainer.h"

#include <string.h>

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/paths.h"
#endif

#include "base/module_state.h"
#include "platform/windows_api.h"

namespace {

constexpr char kFactoryEntryPoint[] = "CreateComponent";
// The configuration keys by the names users write in their files.
constexpr char kDllKey[] = "DLL";
constexpr char kDllPathKey[] = "DllPath";

// What the common LoadLibraryA failures mean for someone looking at a configuration.
struct LoadError {
    DWORD nCode;
    const char* szMeaning;
};
constexpr LoadError kLoadErrors[] = {
    {2, "the file was not found"},
    {3, "the folder was not found"},
    {5, "access is denied"},
    {87, "the path is empty or not valid"},
    {126, "the library, or a library it needs, was not found"},
    {193, "not a library this process can load, such as a 64-bit library in a 32-bit process"},
    {1114, "the library's own initialisation failed"},
};

std::string Quoted(const char* szText) {
    return std::string("\"") + (szText != nullptr ? szText : "") + "\"";
}

// Whether a configuration file is there to be read. The resolution itself cannot tell: the
// profile reader gives every key its default for a missing file, which is exactly the case a
// user most needs to see named. Only this check needs the platform's own file calls.
bool FileExists(const char* szPath) {
    if (szPath == nullptr || szPath[0] == 0) {
        return false;
    }
#ifdef _WIN32
    DWORD nAttributes = GetFileAttributesA(szPath);
    return nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
    std::string posix;
    struct stat status;
    return mirel_posix::WindowsToPosixPath(szPath, posix) && stat(posix.c_str(), &status) == 0 &&
           S_ISREG(status.st_mode);
#endif
}

std::string LoadErrorText(DWORD nCode) {
    std::string text = "GetLastError " + std::to_string(nCode);
    for (const LoadError& error : kLoadErrors) {
        if (error.nCode == nCode) {
            text += std::string(" (") + error.szMeaning + ")";
            break;
        }
    }
    return text;
}

}  // namespace

EExplainStatus CResolutionExplainer::Explain(const char* szRegistryPath) {
    m_lines.clear();
    m_modulePath.clear();
    m_nFilesRead = 0;
    m_bReadFlag = false;
    m_bReadDllPath = false;

    if (szRegistryPath == nullptr || szRegistryPath[0] == 0) {
        Line("registry path: (none)");
    } else {
        Line(std::string("registry path: ") + szRegistryPath);
        if (strlen(szRegistryPath) >= static_cast<size_t>(kPathBufferSize)) {
            Note(
                "this path has 260 characters or more: a host's SetDLLRegistry takes it as no "
                "path at all, so that host starts at the Mirel.ini beside it instead; it is "
                "explained here as given");
        }
    }

    // The same two steps as LoadFactoryModule when no factory handle was given: the module's own
    // resolution, then LoadLibraryA of exactly the path it produced.
    char szModulePath[kPathBufferSize] = {0};
    ResolveFactoryModulePath(szRegistryPath, szModulePath, kPathBufferSize, this);
    m_modulePath = szModulePath;
    EExplainStatus eStatus = TryLoad();
    Line(
        "note: a host that hands the module a factory handle with SetFactoryHandle bypasses the "
        "configuration file; only the configuration's path is explained here");
    return eStatus;
}

void CResolutionExplainer::OnStartFile(const char* /*szRegistryPath*/, EStartRule eRule,
                                       const char* szStartFile) {
    Line(std::string("start file: ") + szStartFile);
    switch (eRule) {
        case EStartRule::kDefaultName:
            Note(
                "no registry path: Mirel.ini in the folder of the running program, which here is "
                "mirel-resolve, not a host; pass the path of a host's Mirel.ini to explain that "
                "host's configuration");
            break;
        case EStartRule::kRelativeToExe:
            Note(
                "relative registry path: joined with one backslash to the folder of the running "
                "program, which here is mirel-resolve, not a host");
            break;
        case EStartRule::kAsGiven:
            Note("absolute registry path: used as given");
            break;
    }
}

void CResolutionExplainer::OnRedirect(const char* szFile, const char* szValue, ERedirectRule eRule,
                                      const char* szNextFile) {
    ++m_nFilesRead;
    Line(std::string("read ") + szFile + ": [Redirect] Path = " + Quoted(szValue));
    if (!FileExists(szFile)) {
        Note("this file does not exist and reads as empty");
    }
    switch (eRule) {
        case ERedirectRule::kNone:
            Note("chain ends: Redirect is blank");
            break;
        case ERedirectRule::kRelative:
            Note(std::string("relative Redirect: the file beside this one is used and read no "
                             "further: ") +
                 szNextFile);
            break;
        case ERedirectRule::kAbsolute:
            Note(std::string("absolute Redirect: ") + szNextFile + " is read in its turn");
            break;
        case ERedirectRule::kCycle:
            Note(std::string("cycle: ") + szValue + " was already read, the chain stops at " +
                 szNextFile);
            break;
        case ERedirectRule::kLimit:
            Note("limit: " + std::to_string(m_nFilesRead) +
                 " files have been read, the chain stops at " + szNextFile + " without reading " +
                 szValue);
            break;
    }
}

void CResolutionExplainer::OnConfigFile(const char* szConfigFile) {
    if (szConfigFile[0] == 0) {
        Line("configuration file: (none)");
        Note(
            "the path the chain ended with does not fit the module's 260-byte buffer, so no file "
            "is read and every key takes its default");
        return;
    }
    Line(std::string("configuration file: ") + szConfigFile);
    if (!FileExists(szConfigFile)) {
        Note("this file does not exist: every key takes its default");
    }
}

void CResolutionExplainer::OnKey(const char* szSection, const char* szKey, const char* szRaw,
                                 const char* szUsed) {
    const std::string name = std::string("[") + szSection + "] " + szKey;
    // The module uses "DllPath" as it was read; "DLL" and "NotUseDefaultDllPath" are trimmed.
    if (strcmp(szKey, kDllPathKey) == 0) {
        m_bReadDllPath = true;
        Line(name + " = " + Quoted(szRaw) + ", used as read");
        return;
    }
    const bool bDll = strcmp(szKey, kDllKey) == 0;
    if (!bDll) {
        m_bReadFlag = true;
    }
    Line(name + " = " + Quoted(szRaw) + ", trimmed " + Quoted(szUsed));
    if (szUsed[0] == 0 && !IsBlank(szRaw)) {
        Note(bDll ? "too long for the module's 260-byte name buffer: it counts as empty"
                  : "too long for the module's 10-byte flag buffer: it counts as empty");
    } else if (bDll && szUsed[0] == 0) {
        Note("no library name: the path will name a folder, which cannot be loaded");
    }
}

void CResolutionExplainer::OnModulePath(EModulePathRule eRule, const char* szModulePath) {
    if (!m_bReadFlag) {
        Line("[361] NotUseDefaultDllPath: not read, because DLL is absolute");
    }
    if (!m_bReadDllPath) {
        Line(std::string("[DefaultValue] DllPath: not read, because ") +
             (m_bReadFlag ? "NotUseDefaultDllPath begins with '1'" : "DLL is absolute"));
    }
    const char* szOutcome = "";
    switch (eRule) {
        case EModulePathRule::kAbsoluteDll:
            szOutcome =
                "DLL is absolute, so it is used unchanged, whatever NotUseDefaultDllPath and "
                "DllPath say";
            break;
        case EModulePathRule::kConfigDirByFlag:
            szOutcome =
                "DLL is relative or empty and NotUseDefaultDllPath begins with '1', so the path is "
                "the configuration file's folder, then DLL";
            break;
        case EModulePathRule::kConfigDir:
            szOutcome =
                "DLL is relative or empty, NotUseDefaultDllPath does not begin with '1' and "
                "DllPath is blank, so the path is the configuration file's folder, then DLL";
            break;
        case EModulePathRule::kAbsoluteDefaultDir:
            szOutcome =
                "DLL is relative or empty, NotUseDefaultDllPath does not begin with '1' and "
                "DllPath is absolute, so the path is DllPath, one backslash, then DLL";
            break;
        case EModulePathRule::kRelativeDefaultDir:
            szOutcome =
                "DLL is relative or empty, NotUseDefaultDllPath does not begin with '1' and "
                "DllPath is relative, so the path is the configuration file's folder, then "
                "DllPath, one backslash, then DLL";
            break;
    }
    Line(std::string("outcome: ") + szOutcome);
    Line(std::string("factory library: ") + szModulePath);
    // A doubled backslash after the first two characters (which may open a network path) comes
    // from a DllPath that ends in one; it looks like the fault but loads all the same.
    if (strlen(szModulePath) > 2 && strstr(szModulePath + 2, "\\\\") != nullptr) {
        Note(
            "the doubled backslash comes from a DllPath that ends in a backslash; the path is "
            "loaded as written");
    }
}

EExplainStatus CResolutionExplainer::TryLoad() {
    SetLastError(0);
    HMODULE hModule = LoadLibraryA(m_modulePath.c_str());
    DWORD nError = GetLastError();
    if (hModule == nullptr) {
        Line("LoadLibraryA: fails, " + LoadErrorText(nError));
        Line("GetProcAddress \"CreateComponent\": not tried, the library did not load");
        Line(
            "result: the module cannot load the factory library and reports "
            "\"[Mirel_Error] Load MirFact.dll Fail.\"");
        return kFactoryDoesNotLoad;
    }
    Line("LoadLibraryA: ok");
    const bool bFound = GetProcAddress(hModule, kFactoryEntryPoint) != nullptr;
    // The module never unloads its factory library, but this program is done with it; freeing it
    // keeps one explanation from holding a library that a later one, or a test, replaces.
    FreeLibrary(hModule);
    if (!bFound) {
        Line("GetProcAddress \"CreateComponent\": missing");
        Line(
            "result: the library loads but does not export \"CreateComponent\"; the module "
            "reports \"[Mirel_Error] Can't find CreateComponent().\" and then "
            "\"[Mirel_Error] Create ComponentFactory in MirFact.dll Fail\"");
        return kFactoryWithoutEntry;
    }
    Line("GetProcAddress \"CreateComponent\": found");
    Line("result: the factory library loads and exports \"CreateComponent\"");
    return kFactoryLoads;
}

void CResolutionExplainer::Line(const std::string& text) {
    m_lines.push_back(text);
}

void CResolutionExplainer::Note(const std::string& text) {
    m_lines.push_back("    " + text);
}
