#include "factory/config_resolution.h"

#include <string.h>

#include <thread>

#include "factory/bounded_strings.h"

namespace {

constexpr char kRedirectSection[] = "Redirect";
constexpr char kRedirectKey[] = "Path";
constexpr char kFactorySection[] = "361";  // the factory component's ID in decimal
constexpr char kDllKey[] = "DLL";
constexpr char kNotUseDefaultDllPathKey[] = "NotUseDefaultDllPath";
constexpr char kDefaultValueSection[] = "DefaultValue";
constexpr char kDllPathKey[] = "DllPath";

bool IsBlankChar(char c) {
    return c == ' ' || c == '\t';
}

// Reads one key into a buffer that the caller has cleared. An empty file name names no file: it
// reads as a missing file, rather than letting the profile reader look for a file of that name in
// the system's own folder.
void ReadProfileValue(const char* szFile, const char* szSection, const char* szKey,
                      const char* szDefault, char* szValue, int nSize) {
    if (szFile[0] == 0) {
        CopyIfFits(szValue, nSize, szDefault);
        return;
    }
    GetPrivateProfileStringA(szSection, szKey, szDefault, szValue, static_cast<DWORD>(nSize),
                             szFile);
    szValue[nSize - 1] = 0;
}

}  // namespace

// ---- Path tests and builders ------------------------------------------------------------------

int IsBlank(const char* szString) {
    if (szString == nullptr) {
        return 1;
    }
    for (const char* p = szString; *p != 0; ++p) {
        if (!IsBlankChar(*p)) {
            return 0;
        }
    }
    return 1;
}

int IsRelativePath(const char* szPath) {
    if (szPath == nullptr) {
        return 1;
    }
    if (szPath[0] == '\\' || strchr(szPath, ':') != nullptr) {
        return 0;
    }
    return 1;
}

int FindLastSeparator(const char* szPath) {
    if (szPath == nullptr) {
        return kNoSeparator;
    }
    const char* pSeparator = strrchr(szPath, '\\');
    if (pSeparator == nullptr) {
        pSeparator = strrchr(szPath, '/');
    }
    return pSeparator == nullptr ? kNoSeparator : static_cast<int>(pSeparator - szPath);
}

// Trailing blanks are cut as well as leading ones: a profile line such as "DLL=MirFact.dll " would
// otherwise name a file that does not exist, and "1 " would be a flag that reads differently from
// "1". Inner blanks are part of the value, as in a path through "Program Files".
void TrimBlanks(const char* szValue, char* szDest, int nSize) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    szDest[0] = 0;
    if (szValue == nullptr) {
        return;
    }
    const char* pStart = szValue;
    while (IsBlankChar(*pStart)) {
        ++pStart;
    }
    size_t nLength = strlen(pStart);
    size_t nKept = nLength;
    while (nKept > 0 && IsBlankChar(pStart[nKept - 1])) {
        --nKept;
    }
    if (nKept == 0 || nKept >= static_cast<size_t>(nSize)) {
        return;
    }
    if (nKept == nLength) {
        CopyIfFits(szDest, nSize, pStart);
    } else {
        CopyPrefix(szDest, nSize, pStart, static_cast<int>(nKept));
    }
}

CExeDirectoryCache ExeDirectory;

// The first caller fills the buffer while any other caller waits, and the buffer is published
// only once it holds a directory. A failed fill publishes nothing and hands out a constant empty
// string, so that a later caller can try again without writing under someone still reading.
const char* CExeDirectoryCache::Get() {
    int nState = m_nState.load(std::memory_order_acquire);
    for (;;) {
        if (nState == kFilled) {
            return m_szDirectory;
        }
        if (nState == kFilling) {
            std::this_thread::yield();
            nState = m_nState.load(std::memory_order_acquire);
            continue;
        }
        if (!m_nState.compare_exchange_weak(nState, kFilling, std::memory_order_acquire)) {
            continue;
        }
        char szFileName[kPathBufferSize] = {0};
        DWORD nWritten = GetModuleFileNameA(GetModuleHandleA(nullptr), szFileName, kPathBufferSize);
        // Older systems do not terminate a name that filled the buffer.
        szFileName[kPathBufferSize - 1] = 0;
        if (nWritten == 0 || szFileName[0] == 0) {
            m_nState.store(kEmpty, std::memory_order_release);
            return "";
        }
        // Only a backslash counts here, unlike FindLastSeparator: the platform reports the
        // executable's name with backslashes, and the directory is cut at the last of them.
        char* pSeparator = strrchr(szFileName, '\\');
        if (pSeparator != nullptr) {
            *pSeparator = 0;
        }
        memcpy(m_szDirectory, szFileName, sizeof(m_szDirectory));
        m_nState.store(kFilled, std::memory_order_release);
        return m_szDirectory;
    }
}

const char* GetExeDirectory() {
    return ExeDirectory.Get();
}

int MakeExePath(const char* szName, char* szDest, int nSize) {
    if (szName == nullptr || szDest == nullptr || nSize <= 1) {
        return 0;
    }
    // Unlike the other builders this one shortens a join that is too long instead of leaving a
    // piece out; the formatter keeps size - 2 characters.
    FormatBounded(szDest, nSize - 1, nSize - 1, "%s\\%s", GetExeDirectory(), szName);
    szDest[nSize - 1] = 0;
    return 1;
}

int MakeSiblingPath(const char* szFilePath, const char* szName, char* szDest, int nSize) {
    if (szFilePath == nullptr || szName == nullptr || szDest == nullptr || nSize <= 0) {
        return 0;
    }
    szDest[0] = 0;
    int nSeparator = FindLastSeparator(szFilePath);
    if (nSeparator != kNoSeparator) {
        CopyPrefix(szDest, nSize, szFilePath, nSeparator + 1);
    } else {
        // Only a path like "C:name" has no separator; the whole of it is taken as the directory.
        CopyIfFits(szDest, nSize, szFilePath);
        AppendIfFits(szDest, nSize, "\\");
    }
    AppendIfFits(szDest, nSize, szName);
    return 1;
}

void JoinDirectory(const char* szBase, const char* szName, char* szDest, int nSize) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    szDest[0] = 0;
    if (IsBlank(szBase)) {
        CopyIfFits(szDest, nSize, szName);
        return;
    }
    AppendIfFits(szDest, nSize, szBase);
    AppendIfFits(szDest, nSize, "\\");
    AppendIfFits(szDest, nSize, szName);
}

// ---- Stage 1: the configuration file -----------------------------------------------------------

void ResolveConfigFile(const char* szRegistryPath, char* szDest, int nSize,
                       IResolutionObserver* pObserver) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    szDest[0] = 0;
    char szStartFile[kPathBufferSize] = {0};
    const char* szStart = szStartFile;
    EStartRule eRule;
    if (szRegistryPath == nullptr || szRegistryPath[0] == 0) {
        eRule = EStartRule::kDefaultName;
        MakeExePath(kDefaultConfigFileName, szStartFile, kPathBufferSize);
    } else if (IsRelativePath(szRegistryPath)) {
        eRule = EStartRule::kRelativeToExe;
        MakeExePath(szRegistryPath, szStartFile, kPathBufferSize);
    } else {
        eRule = EStartRule::kAsGiven;
        szStart = szRegistryPath;
    }
    if (pObserver != nullptr) {
        pObserver->OnStartFile(szRegistryPath, eRule, szStart);
    }
    FollowRedirect(szStart, szDest, nSize, pObserver);
}

// A chain of absolute redirections that comes back to a file it has read, or that grows beyond
// kMaxConfigFiles files, would otherwise be followed for ever. It stops there instead, and the
// file whose "Redirect" value was not followed is the configuration file: the last file read,
// just as if its "Redirect" section were blank. Files are told apart by their path as written;
// two spellings of one file may cost a few more reads before the repeat shows, but the chain
// still ends, because every path after the first is a value read from one of finitely many files.
void FollowRedirect(const char* szConfigFile, char* szDest, int nSize,
                    IResolutionObserver* pObserver) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    szDest[0] = 0;
    if (szConfigFile == nullptr) {
        return;
    }
    // Row n holds the "Redirect" value of the n-th file read; the files read are szConfigFile
    // and the values of the rows before the current one.
    char aszValues[kMaxConfigFiles][kPathBufferSize];
    const char* szFile = szConfigFile;
    for (int nDepth = 0;; ++nDepth) {
        char* szValue = aszValues[nDepth];
        memset(szValue, 0, kPathBufferSize);
        ReadProfileValue(szFile, kRedirectSection, kRedirectKey, "", szValue, kPathBufferSize);

        ERedirectRule eRule;
        if (IsBlank(szValue)) {
            eRule = ERedirectRule::kNone;
        } else if (IsRelativePath(szValue)) {
            eRule = ERedirectRule::kRelative;
        } else {
            bool bSeen = strcmp(szValue, szConfigFile) == 0;
            for (int nRow = 0; nRow < nDepth && !bSeen; ++nRow) {
                bSeen = strcmp(szValue, aszValues[nRow]) == 0;
            }
            if (bSeen) {
                eRule = ERedirectRule::kCycle;
            } else if (nDepth + 1 == kMaxConfigFiles) {
                eRule = ERedirectRule::kLimit;
            } else {
                eRule = ERedirectRule::kAbsolute;
            }
        }

        switch (eRule) {
            case ERedirectRule::kAbsolute:
                if (pObserver != nullptr) {
                    pObserver->OnRedirect(szFile, szValue, eRule, szValue);
                }
                szFile = szValue;
                continue;
            case ERedirectRule::kRelative:
                // The target's own "Redirect" section is not read: a relative value ends the chain.
                MakeSiblingPath(szFile, szValue, szDest, nSize);
                if (pObserver != nullptr) {
                    pObserver->OnRedirect(szFile, szValue, eRule, szDest);
                }
                return;
            case ERedirectRule::kNone:
            case ERedirectRule::kCycle:
            case ERedirectRule::kLimit:
                CopyIfFits(szDest, nSize, szFile);
                if (pObserver != nullptr) {
                    pObserver->OnRedirect(szFile, szValue, eRule, szFile);
                }
                return;
        }
    }
}

// ---- Stage 2: the factory library's path -------------------------------------------------------

void ResolveFactoryDllPath(const char* szConfigFile, char* szDest, int nSize,
                           IResolutionObserver* pObserver) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    szDest[0] = 0;
    if (szConfigFile == nullptr) {
        szConfigFile = "";
    }
    if (pObserver != nullptr) {
        pObserver->OnConfigFile(szConfigFile);
    }

    char szRaw[kTextBufferSize] = {0};
    ReadProfileValue(szConfigFile, kFactorySection, kDllKey, "", szRaw, kTextBufferSize);
    char szName[kPathBufferSize] = {0};
    TrimBlanks(szRaw, szName, kPathBufferSize);
    if (pObserver != nullptr) {
        pObserver->OnKey(kFactorySection, kDllKey, szRaw, szName);
    }

    EModulePathRule eRule;
    if (!IsRelativePath(szName)) {
        eRule = EModulePathRule::kAbsoluteDll;
        CopyIfFits(szDest, nSize, szName);
    } else {
        // An empty name counts as relative and ends up as a directory, which fails to load.
        memset(szRaw, 0, sizeof(szRaw));
        ReadProfileValue(szConfigFile, kFactorySection, kNotUseDefaultDllPathKey, "0", szRaw,
                         kTextBufferSize);
        char szFlag[kFlagBufferSize] = {0};
        TrimBlanks(szRaw, szFlag, kFlagBufferSize);
        if (pObserver != nullptr) {
            pObserver->OnKey(kFactorySection, kNotUseDefaultDllPathKey, szRaw, szFlag);
        }

        if (szFlag[0] == '1') {
            eRule = EModulePathRule::kConfigDirByFlag;
            MakeSiblingPath(szConfigFile, szName, szDest, nSize);
        } else {
            char szDllPath[kPathBufferSize] = {0};
            ReadProfileValue(szConfigFile, kDefaultValueSection, kDllPathKey, "", szDllPath,
                             kPathBufferSize);
            if (pObserver != nullptr) {
                pObserver->OnKey(kDefaultValueSection, kDllPathKey, szDllPath, szDllPath);
            }
            char szJoined[kPathBufferSize] = {0};
            JoinDirectory(szDllPath, szName, szJoined, kPathBufferSize);
            if (IsRelativePath(szJoined)) {
                eRule = IsBlank(szDllPath) ? EModulePathRule::kConfigDir
                                           : EModulePathRule::kRelativeDefaultDir;
                MakeSiblingPath(szConfigFile, szJoined, szDest, nSize);
            } else {
                eRule = EModulePathRule::kAbsoluteDefaultDir;
                CopyIfFits(szDest, nSize, szJoined);
            }
        }
    }
    if (pObserver != nullptr) {
        pObserver->OnModulePath(eRule, szDest);
    }
}

void ResolveFactoryModulePath(const char* szRegistryPath, char* szDest, int nSize,
                              IResolutionObserver* pObserver) {
    if (szDest == nullptr || nSize <= 0) {
        return;
    }
    char szConfigFile[kPathBufferSize] = {0};
    ResolveConfigFile(szRegistryPath, szConfigFile, kPathBufferSize, pObserver);
    ResolveFactoryDllPath(szConfigFile, szDest, nSize, pObserver);
}

HMODULE LoadFactoryModule(const char* szRegistryPath) {
    const HMODULE hGiven = FactoryHandle.load();
    if (hGiven != nullptr) {
        return hGiven;
    }
    char szModulePath[kPathBufferSize] = {0};
    ResolveFactoryModulePath(szRegistryPath, szModulePath, kPathBufferSize);
    return LoadLibraryA(szModulePath);
}
