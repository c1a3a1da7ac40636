#include "framework/factory_library/factory_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "base/bounded_strings.h"
#include "factory/config_resolution.h"
#include "base/module_trace.h"
#include "platform/windows_api.h"

namespace {

constexpr int kKeyBufferSize = 16;  // a 32-bit ID in decimal, sign and terminator included

void MakeComponentKey(int32_t nComponentId, char (&szKey)[kKeyBufferSize]) {
    snprintf(szKey, sizeof(szKey), "%d", static_cast<int>(nComponentId));
}

// Reads key <ID> of a section of the configuration file the registry path resolves to. The file
// name is left in szConfigFile for the caller's diagnostics and path joins.
void ReadComponentValue(const char* szRegistryPath, const char* szSection, int32_t nComponentId,
                        char (&szConfigFile)[kPathBufferSize], char (&szValue)[kTextBufferSize]) {
    szConfigFile[0] = 0;
    szValue[0] = 0;
    ResolveConfigFile(szRegistryPath, szConfigFile, kPathBufferSize);
    char szKey[kKeyBufferSize];
    MakeComponentKey(nComponentId, szKey);
    GetPrivateProfileStringA(szSection, szKey, "", szValue, kTextBufferSize, szConfigFile);
}

bool IsBlankChar(char c) {
    return c == ' ' || c == '\t';
}

const char* SkipBlanks(const char* p) {
    while (IsBlankChar(*p)) {
        ++p;
    }
    return p;
}

// One word: an optional sign, then decimal digits or 0x and hexadecimal digits. A leading zero
// does not make it octal, so "010" is ten, as a reader of the file would expect.
bool ParseWord(const char*& p, int32_t& nWord) {
    p = SkipBlanks(p);
    const char* pDigits = (*p == '-' || *p == '+') ? p + 1 : p;
    const int nBase = (pDigits[0] == '0' && (pDigits[1] == 'x' || pDigits[1] == 'X')) ? 16 : 10;
    if (!(pDigits[0] >= '0' && pDigits[0] <= '9')) {
        return false;  // strtoll would also take blanks after the sign, or nothing at all
    }
    char* pEnd = nullptr;
    errno = 0;
    const long long nValue = strtoll(p, &pEnd, nBase);
    if (pEnd == p || errno == ERANGE || nValue < INT32_MIN ||
        nValue > static_cast<long long>(UINT32_MAX)) {
        return false;
    }
    nWord = static_cast<int32_t>(static_cast<uint32_t>(nValue));
    p = SkipBlanks(pEnd);
    return true;
}

bool ParseConfigWords(const char* szValue, int32_t (&aWords)[2]) {
    const char* p = szValue;
    if (!ParseWord(p, aWords[0]) || *p != ',') {
        return false;
    }
    ++p;
    return ParseWord(p, aWords[1]) && *p == 0;
}

}  // namespace

const int32_t* CConfigWordStore::Keep(const int32_t (&aWords)[2]) {
    CCriticalLockScope scope(m_lock);
    const ConfigWords& kept = *m_words.insert(ConfigWords{{aWords[0], aWords[1]}}).first;
    return kept.aWords;
}

int32_t FindComponentModule(const char* szRegistryPath, int32_t nComponentId, char* szModulePath,
                            int nSize) {
    char szConfigFile[kPathBufferSize];
    char szValue[kTextBufferSize];
    ReadComponentValue(szRegistryPath, kComponentsSection, nComponentId, szConfigFile, szValue);
    char szName[kPathBufferSize] = {0};
    TrimBlanks(szValue, szName, kPathBufferSize);

    szModulePath[0] = 0;
    if (szName[0] != 0) {
        // The same rule as the factory library's own "DLL" key: an absolute name stands, a
        // relative one lives beside the configuration file.
        if (!IsRelativePath(szName)) {
            CopyIfFits(szModulePath, nSize, szName);
        } else {
            MakeSiblingPath(szConfigFile, szName, szModulePath, nSize);
        }
    }
    if (szModulePath[0] == 0) {
        TraceModuleError("MirFact: no module for component %d in %s\n",
                         static_cast<int>(nComponentId), szConfigFile);
        return 0;
    }
    return 1;
}

const int32_t* FindComponentConfigWords(const char* szRegistryPath, int32_t nComponentId) {
    char szConfigFile[kPathBufferSize];
    char szValue[kTextBufferSize];
    ReadComponentValue(szRegistryPath, kComponentConfigSection, nComponentId, szConfigFile,
                       szValue);
    if (IsBlank(szValue)) {
        return nullptr;
    }
    int32_t aWords[2] = {0, 0};
    if (!ParseConfigWords(szValue, aWords)) {
        TraceModuleError("MirFact: component %d has a bad ComponentConfig value in %s: %s\n",
                         static_cast<int>(nComponentId), szConfigFile, szValue);
        return nullptr;
    }
    return ConfigWordStore.Keep(aWords);
}
