#include "base/bounded_strings.h"

#include <string.h>

#include "platform/windows_api.h"

// Constant-initialised, so the table is valid before any static initialiser of the module runs.
SafeStringRoutineTable SafeStringRoutines = {SafeFormatV, SafeConcat, SafeCopyN, SafeCopy};

namespace {

// The length of a string that is expected to end inside nSize bytes, or nSize when it does not.
// A destination that was never terminated is then treated as full instead of being read past its
// end.
size_t BoundedLength(const char* szString, int nSize) {
    const void* pZero = memchr(szString, 0, static_cast<size_t>(nSize));
    if (pZero == nullptr) {
        return static_cast<size_t>(nSize);
    }
    return static_cast<size_t>(static_cast<const char*>(pZero) - szString);
}

}  // namespace

int SafeCopy(char* szDest, int nSize, const char* szSource) {
    if (szDest == nullptr || nSize <= 0 || szSource == nullptr) {
        return nSize != 0 ? kSafeInvalid : kSafeTooLarge;
    }
    size_t nLength = strlen(szSource);
    if (nLength > static_cast<size_t>(nSize - 1)) {
        return kSafeTooLarge;
    }
    memcpy(szDest, szSource, nLength);
    szDest[nLength] = 0;
    return kSafeOk;
}

int SafeCopyN(char* szDest, int nSize, const char* szSource, int nCount) {
    if (szDest == nullptr || nSize <= 0 || szSource == nullptr || nCount <= 0) {
        return kSafeInvalid;
    }
    if (nCount > nSize - 1) {
        // Unlike SafeCopy, a count that cannot fit empties the destination, so that a caller who
        // ignores the code never goes on with the old contents as if they were the copy.
        szDest[0] = 0;
        return kSafeInvalid;
    }
    // strncpy's contract, written out: the source up to its terminator or nCount bytes, the rest
    // of the nCount bytes zero-filled.
    int nIndex = 0;
    for (; nIndex < nCount && szSource[nIndex] != 0; ++nIndex) {
        szDest[nIndex] = szSource[nIndex];
    }
    for (; nIndex < nCount; ++nIndex) {
        szDest[nIndex] = 0;
    }
    szDest[nCount] = 0;
    return kSafeOk;
}

int SafeConcat(char* szDest, int nSize, const char* szSource) {
    if (szDest == nullptr || nSize <= 0 || szSource == nullptr) {
        return nSize != 0 ? kSafeInvalid : kSafeTooLarge;
    }
    size_t nDestLength = BoundedLength(szDest, nSize);
    size_t nSourceLength = strlen(szSource);
    size_t nNeed = nDestLength + nSourceLength + 1;
    if (static_cast<size_t>(nSize) < nNeed) {
        return kSafeTooLarge;
    }
    memcpy(szDest + nDestLength, szSource, nSourceLength);
    szDest[nNeed - 1] = 0;
    return kSafeOk;
}

int SafeFormatV(char* szBuffer, int nSize, int nCount, const char* szFormat, va_list* pArgs) {
    if (szBuffer == nullptr || nSize <= 0 || (nCount < 1 && nCount != -1) || szFormat == nullptr ||
        pArgs == nullptr) {
        return -1;
    }
    if (nCount == -1 || nCount > nSize - 1) {
        nCount = nSize - 1;
    }
    int nResult = _vsnprintf(szBuffer, static_cast<size_t>(nCount), szFormat, *pArgs);
    // The formatter leaves a text that filled all nCount characters unterminated.
    szBuffer[nCount] = 0;
    return nResult;
}

int IsShorterThan(const char* szString, uint32_t nLimit) {
    if (szString == nullptr) {
        return 0;
    }
    return strlen(szString) < nLimit ? 1 : 0;
}

int CopyIfFits(char* szDest, int nSize, const char* szSource) {
    if (szDest == nullptr || szSource == nullptr || nSize <= 0 ||
        IsShorterThan(szSource, static_cast<uint32_t>(nSize)) == 0) {
        return 0;
    }
    // The checks above leave SafeCopy nothing to refuse, so its code carries no news.
    SafeStringRoutines.pfnSafeCopy(szDest, nSize, szSource);
    return 1;
}

int CopyPrefix(char* szDest, int nSize, const char* szSource, int nLength) {
    if (szDest == nullptr || szSource == nullptr || nLength <= 0 || nSize <= nLength) {
        return 0;
    }
    SafeStringRoutines.pfnSafeCopyN(szDest, nSize, szSource, nLength);
    szDest[nLength] = 0;
    return 1;
}

int AppendIfFits(char* szDest, int nSize, const char* szSource) {
    if (szDest == nullptr || szSource == nullptr || nSize <= 0) {
        return 0;
    }
    size_t nTotal = BoundedLength(szDest, nSize) + strlen(szSource);
    if (nTotal >= static_cast<size_t>(nSize)) {
        return 0;
    }
    SafeStringRoutines.pfnSafeConcat(szDest, nSize, szSource);
    return 1;
}

int FormatBounded(char* szBuffer, int nSize, int nCount, const char* szFormat, ...) {
    if (szBuffer == nullptr || nSize <= 0 || nCount <= 0 || szFormat == nullptr) {
        return -1;
    }
    int nLimit = nSize - 1 < nCount ? nSize - 1 : nCount;
    va_list args;
    va_start(args, szFormat);
    int nResult = _vsnprintf(szBuffer, static_cast<size_t>(nLimit), szFormat, args);
    va_end(args);
    szBuffer[nLimit] = 0;
    return nResult;
}
