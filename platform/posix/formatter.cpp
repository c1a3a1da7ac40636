// _vsnprintf as the Windows runtime (msvcrt) has it, on top of the C library's snprintf.
//
// The runtime differs from C99 vsnprintf in two ways the module relies on: the result when the
// text does not fit (at most count characters are written, the terminator only when the text is
// shorter than count, and the result is -1 when the text was cut), and "%p", which prints the
// address as upper-case hexadecimal zero-padded to the width of a pointer, without "0x". A null
// buffer with a count of 0 measures, as in C99: the result is the length of the whole text. A
// null buffer with any other count is refused with -1, as the runtime documents that call as
// invalid (Wine's runtime measures it too; nothing relies on either answer).
//
// The format is walked one conversion at a time and each conversion is formatted by snprintf
// with its argument read at its own type, so that no argument is ever read as another type. The
// runtime's own size prefixes (I64, I32, I) and its narrow/wide markers (h, w with c and s) are
// mapped to their C spellings. "%n" is refused: its argument is consumed and nothing is stored,
// as the runtime does by default, because writing through a pointer taken from a format is a
// classic way to turn a bad format into a memory overwrite.
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/windows_api.h"

namespace {

// The caller's buffer and how much of the text it has taken so far. The text is counted in full
// even where it no longer fits, so that the end result can tell a cut from an exact fit.
class CBoundedOutput {
public:
    CBoundedOutput(char* pBuffer, size_t nCount) : m_pBuffer(pBuffer), m_nCount(nCount) {}

    void Append(const char* pText, size_t nLength) {
        size_t nRoom = Room();
        if (nRoom > 0) {
            memcpy(m_pBuffer + m_nTotal, pText, nLength < nRoom ? nLength : nRoom);
        }
        m_nTotal += nLength;
    }

    // Formats one conversion with its argument. Only as much as still fits is produced, so a
    // wide field does not cost memory beyond the caller's own buffer.
    template <typename T>
    void AppendFormatted(const char* szSpec, T value) {
        char szLocal[512];
        int nLength = snprintf(szLocal, sizeof(szLocal), szSpec, value);
        if (nLength < 0) {
            m_bFailed = true;
            return;
        }
        size_t nWanted = static_cast<size_t>(nLength);
        size_t nRoom = Room();
        if (nWanted < sizeof(szLocal) || nRoom < sizeof(szLocal)) {
            Append(szLocal, nWanted);
            return;
        }
        size_t nPart = nWanted < nRoom ? nWanted : nRoom;
        char* pPart = static_cast<char*>(malloc(nPart + 1));
        if (pPart == nullptr) {
            m_bFailed = true;
            return;
        }
        snprintf(pPart, nPart + 1, szSpec, value);
        memcpy(m_pBuffer + m_nTotal, pPart, nPart);
        m_nTotal += nWanted;
        free(pPart);
    }

    void Fail() { m_bFailed = true; }

    // The runtime's result: the length when the text fit with its terminator, count when it fit
    // exactly without one, -1 when it was cut (or could not be formatted). Without a buffer
    // nothing is cut: the text is only measured, and the result is its length.
    int Finish() {
        if (m_bFailed || m_nTotal > static_cast<size_t>(INT_MAX)) {
            return -1;
        }
        if (m_pBuffer == nullptr) {
            return static_cast<int>(m_nTotal);
        }
        if (m_nTotal > m_nCount) {
            return -1;
        }
        if (m_nTotal < m_nCount) {
            m_pBuffer[m_nTotal] = '\0';
        }
        return static_cast<int>(m_nTotal);
    }

private:
    size_t Room() const { return m_nTotal < m_nCount ? m_nCount - m_nTotal : 0; }

    char* m_pBuffer;
    size_t m_nCount;
    size_t m_nTotal = 0;
    bool m_bFailed = false;
};

enum class ESize { Default, Char, Short, Long, LongLong, IntMax, Size, PtrDiff, LongDouble };

// One conversion, parsed; szSpec is rebuilt for snprintf with width and precision as numbers.
struct SConversion {
    char szFlags[8];
    int nWidth;      // -1 when absent
    int nPrecision;  // -1 when absent
    ESize eSize;
    bool bNarrow;  // the runtime's "h" before c or s
    bool bWide;    // the runtime's "w" or "l" before c or s
    char chType;
};

const char* ParseConversion(const char* p, va_list& args, SConversion& conversion) {
    size_t nFlags = 0;
    while (strchr("-+ #0", *p) != nullptr && *p != '\0') {
        if (nFlags + 1 < sizeof(conversion.szFlags)) {
            conversion.szFlags[nFlags++] = *p;
        }
        ++p;
    }
    conversion.szFlags[nFlags] = '\0';

    conversion.nWidth = -1;
    if (*p == '*') {
        int nWidth = va_arg(args, int);
        if (nWidth < 0) {
            // A negative width from the argument list means left alignment, as in C.
            if (nFlags + 1 < sizeof(conversion.szFlags)) {
                conversion.szFlags[nFlags++] = '-';
                conversion.szFlags[nFlags] = '\0';
            }
            nWidth = nWidth == INT_MIN ? INT_MAX : -nWidth;
        }
        conversion.nWidth = nWidth;
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') {
            int nDigit = *p - '0';
            int nWidth = conversion.nWidth < 0 ? 0 : conversion.nWidth;
            conversion.nWidth = nWidth > (INT_MAX - nDigit) / 10 ? INT_MAX : nWidth * 10 + nDigit;
            ++p;
        }
    }

    conversion.nPrecision = -1;
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            int nPrecision = va_arg(args, int);
            conversion.nPrecision = nPrecision < 0 ? -1 : nPrecision;
            ++p;
        } else {
            int nPrecision = 0;
            while (*p >= '0' && *p <= '9') {
                int nDigit = *p - '0';
                nPrecision =
                    nPrecision > (INT_MAX - nDigit) / 10 ? INT_MAX : nPrecision * 10 + nDigit;
                ++p;
            }
            conversion.nPrecision = nPrecision;
        }
    }

    conversion.eSize = ESize::Default;
    conversion.bNarrow = false;
    conversion.bWide = false;
    for (;;) {
        if (p[0] == 'h' && p[1] == 'h') {
            conversion.eSize = ESize::Char;
            p += 2;
        } else if (p[0] == 'h') {
            conversion.eSize = ESize::Short;
            conversion.bNarrow = true;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            conversion.eSize = ESize::LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            conversion.eSize = ESize::Long;
            conversion.bWide = true;
            ++p;
        } else if (p[0] == 'w') {
            conversion.bWide = true;
            ++p;
        } else if (p[0] == 'L' || p[0] == 'q') {
            conversion.eSize = p[0] == 'L' ? ESize::LongDouble : ESize::LongLong;
            ++p;
        } else if (p[0] == 'j') {
            conversion.eSize = ESize::IntMax;
            ++p;
        } else if (p[0] == 'z') {
            conversion.eSize = ESize::Size;
            ++p;
        } else if (p[0] == 't') {
            conversion.eSize = ESize::PtrDiff;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            conversion.eSize = ESize::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            conversion.eSize = ESize::Default;
            p += 3;
        } else if (p[0] == 'I') {
            conversion.eSize = ESize::Size;
            ++p;
        } else {
            break;
        }
    }
    conversion.chType = *p;
    return p;
}

// Writes "%<flags><width>.<precision><length><type>" into szSpec.
void BuildSpec(char* szSpec, size_t nSize, const char* szFlags, int nWidth, int nPrecision,
               const char* szLength, char chType) {
    char szWidth[16] = "";
    char szPrecision[16] = "";
    if (nWidth >= 0) {
        snprintf(szWidth, sizeof(szWidth), "%d", nWidth);
    }
    if (nPrecision >= 0) {
        snprintf(szPrecision, sizeof(szPrecision), ".%d", nPrecision);
    }
    snprintf(szSpec, nSize, "%%%s%s%s%s%c", szFlags, szWidth, szPrecision, szLength, chType);
}

// Integers are read at the type their length modifier names (an int for hh and h, as they are
// passed) and narrowed as printf would narrow them, then printed as the widest type with "j".
intmax_t ReadSigned(const SConversion& c, va_list& args) {
    switch (c.eSize) {
        case ESize::LongLong:
            return va_arg(args, long long);
        case ESize::Long:
            return va_arg(args, long);
        case ESize::IntMax:
            return va_arg(args, intmax_t);
        case ESize::Size:
            return va_arg(args, ssize_t);
        case ESize::PtrDiff:
            return va_arg(args, ptrdiff_t);
        case ESize::Char:
            return static_cast<signed char>(va_arg(args, int));
        case ESize::Short:
            return static_cast<short>(va_arg(args, int));
        default:
            return va_arg(args, int);
    }
}

uintmax_t ReadUnsigned(const SConversion& c, va_list& args) {
    switch (c.eSize) {
        case ESize::LongLong:
            return va_arg(args, unsigned long long);
        case ESize::Long:
            return va_arg(args, unsigned long);
        case ESize::IntMax:
            return va_arg(args, uintmax_t);
        case ESize::Size:
            return va_arg(args, size_t);
        case ESize::PtrDiff:
            return static_cast<uintmax_t>(va_arg(args, ptrdiff_t));
        case ESize::Char:
            return static_cast<unsigned char>(va_arg(args, unsigned int));
        case ESize::Short:
            return static_cast<unsigned short>(va_arg(args, unsigned int));
        default:
            return va_arg(args, unsigned int);
    }
}

void FormatSigned(CBoundedOutput& out, const SConversion& c, va_list& args) {
    const intmax_t nValue = ReadSigned(c, args);
    char szSpec[64];
    BuildSpec(szSpec, sizeof(szSpec), c.szFlags, c.nWidth, c.nPrecision, "j", c.chType);
    out.AppendFormatted(szSpec, nValue);
}

void FormatUnsigned(CBoundedOutput& out, const SConversion& c, va_list& args) {
    const uintmax_t nValue = ReadUnsigned(c, args);
    char szSpec[64];
    BuildSpec(szSpec, sizeof(szSpec), c.szFlags, c.nWidth, c.nPrecision, "j", c.chType);
    out.AppendFormatted(szSpec, nValue);
}

void FormatFloating(CBoundedOutput& out, const SConversion& c, va_list& args) {
    char szSpec[64];
    if (c.eSize == ESize::LongDouble) {
        BuildSpec(szSpec, sizeof(szSpec), c.szFlags, c.nWidth, c.nPrecision, "L", c.chType);
        out.AppendFormatted(szSpec, va_arg(args, long double));
    } else {
        BuildSpec(szSpec, sizeof(szSpec), c.szFlags, c.nWidth, c.nPrecision, "", c.chType);
        out.AppendFormatted(szSpec, va_arg(args, double));
    }
}

// "%C" and "%S" are the runtime's opposite-width character and string; in a narrow formatter
// they are the wide ones.
void FormatText(CBoundedOutput& out, const SConversion& c, va_list& args) {
    bool bWide = c.chType == 'C' || c.chType == 'S' ? !c.bNarrow : c.bWide && !c.bNarrow;
    char chType = c.chType == 'C' ? 'c' : c.chType == 'S' ? 's' : c.chType;
    char szSpec[64];
    BuildSpec(szSpec, sizeof(szSpec), c.szFlags, c.nWidth, c.nPrecision, bWide ? "l" : "", chType);
    if (chType == 'c') {
        if (bWide) {
            out.AppendFormatted(szSpec, static_cast<wint_t>(va_arg(args, wint_t)));
        } else {
            out.AppendFormatted(szSpec, va_arg(args, int));
        }
    } else if (bWide) {
        out.AppendFormatted(szSpec, va_arg(args, const wchar_t*));
    } else {
        out.AppendFormatted(szSpec, va_arg(args, const char*));
    }
}

// The runtime's "%p": the address as an unsigned number, upper-case hexadecimal with as many
// digits as a pointer has nibbles. The precision carries the zero padding, so the width and the
// '-' flag still align the field with blanks, and '#' still gives the "0X" prefix.
void FormatPointer(CBoundedOutput& out, const SConversion& c, va_list& args) {
    char szFlags[8];
    size_t nFlags = 0;
    for (const char* p = c.szFlags; *p != '\0'; ++p) {
        if (*p == '-' || *p == '#') {
            szFlags[nFlags++] = *p;
        }
    }
    szFlags[nFlags] = '\0';
    char szSpec[64];
    char szWidth[16] = "";
    if (c.nWidth >= 0) {
        snprintf(szWidth, sizeof(szWidth), "%d", c.nWidth);
    }
    snprintf(szSpec, sizeof(szSpec), "%%%s%s.%d" PRIXPTR, szFlags, szWidth,
             static_cast<int>(2 * sizeof(void*)));
    out.AppendFormatted(szSpec, reinterpret_cast<uintptr_t>(va_arg(args, void*)));
}

}  // namespace

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    if (format == nullptr || (buffer == nullptr && count > 0)) {
        return -1;
    }
    CBoundedOutput out(buffer, count);
    // A copy, so that the walk can pass the list on by reference whatever va_list is on this
    // target (an array type on some, which does not bind to a reference parameter otherwise).
    va_list walk;
    va_copy(walk, args);
    const char* p = format;
    while (*p != '\0') {
        const char* pPercent = strchr(p, '%');
        if (pPercent == nullptr) {
            out.Append(p, strlen(p));
            break;
        }
        out.Append(p, static_cast<size_t>(pPercent - p));
        SConversion conversion;
        const char* pType = ParseConversion(pPercent + 1, walk, conversion);
        switch (conversion.chType) {
            case 'd':
            case 'i':
                FormatSigned(out, conversion, walk);
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                FormatUnsigned(out, conversion, walk);
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                FormatFloating(out, conversion, walk);
                break;
            case 'c':
            case 'C':
            case 's':
            case 'S':
                FormatText(out, conversion, walk);
                break;
            case 'p':
                FormatPointer(out, conversion, walk);
                break;
            case 'n':
                (void)va_arg(walk, void*);
                break;
            case '%':
                out.Append("%", 1);
                break;
            case '\0':
                // A lone '%' at the end of the format: printed as it stands.
                out.Append(pPercent, static_cast<size_t>(pType - pPercent));
                p = pType;
                continue;
            default:
                // An unknown conversion is printed as it stands and consumes no argument.
                out.Append(pPercent, static_cast<size_t>(pType + 1 - pPercent));
                break;
        }
        p = pType + 1;
    }
    va_end(walk);
    return out.Finish();
}
