// Bounded string routines: the four checked copy, append and format routines of the module,
// reached only through the SafeStringRoutines table, and the wrappers that answer done (1) or
// refused (0). Nothing here allocates, keeps state or prints; any thread may call them.
#ifndef MIREL_BASE_BOUNDED_STRINGS_H
#define MIREL_BASE_BOUNDED_STRINGS_H

#include <stdarg.h>
#include <stdint.h>

// Result codes of the copy routines: the runtime's error numbers.
constexpr int kSafeOk = 0;
constexpr int kSafeInvalid = 22;   // EINVAL
constexpr int kSafeTooLarge = 34;  // ERANGE

// The argument list is passed by address so that a missing one can be told apart on every
// platform (va_list is an array type on some of them).
typedef int (*SafeFormatVFn)(char* szBuffer, int nSize, int nCount, const char* szFormat,
                             va_list* pArgs);
typedef int (*SafeConcatFn)(char* szDest, int nSize, const char* szSource);
typedef int (*SafeCopyNFn)(char* szDest, int nSize, const char* szSource, int nCount);
typedef int (*SafeCopyFn)(char* szDest, int nSize, const char* szSource);

struct SafeStringRoutineTable {
    SafeFormatVFn pfnSafeFormatV;  // entry 0
    SafeConcatFn pfnSafeConcat;    // entry 1
    SafeCopyNFn pfnSafeCopyN;      // entry 2
    SafeCopyFn pfnSafeCopy;        // entry 3
};

// Set at load to the four routines below and never changed; every caller goes through it.
extern SafeStringRoutineTable SafeStringRoutines;

int SafeFormatV(char* szBuffer, int nSize, int nCount, const char* szFormat, va_list* pArgs);
int SafeConcat(char* szDest, int nSize, const char* szSource);
int SafeCopyN(char* szDest, int nSize, const char* szSource, int nCount);
int SafeCopy(char* szDest, int nSize, const char* szSource);

int IsShorterThan(const char* szString, uint32_t nLimit);
int CopyIfFits(char* szDest, int nSize, const char* szSource);
int CopyPrefix(char* szDest, int nSize, const char* szSource, int nLength);
int AppendIfFits(char* szDest, int nSize, const char* szSource);
int FormatBounded(char* szBuffer, int nSize, int nCount, const char* szFormat, ...);

#endif  // MIREL_BASE_BOUNDED_STRINGS_H
