// GetPrivateProfileStringA: reads one value of an INI file as the Windows reader does.
//
// The file is read as a stream, one character at a time, and only what the answer needs is kept:
// a section or key name no longer than the name looked for, and no more of a value than the
// caller's buffer takes. A file with enormous lines therefore costs no more memory than a small
// one, and nothing is ever written past the caller's buffer.
//
// The rules, as Windows applies them:
// - a section starts at a line whose first character other than blanks is '['; its name runs to
//   the first ']' (blanks around it removed) and the rest of that line is ignored;
// - any other line is "key=value": the key runs to the first '=', and blanks around the key and
//   around the value are removed; a line without '=' has no value, and looking it up gives the
//   default;
// - a comment line (';' first) is read like any other: its key begins with ';', so it never
//   matches a key name a program asks for, yet asking for that very name finds it, as on Windows;
// - section and key names compare without regard to case; the first section of a name and, in
//   it, the first key of a name give the answer; later sections of the same name are not read;
// - a value enclosed in one pair of the same quotes (double or single) loses them;
// - a line ends at a LF or a CR, so files with CR LF, LF or CR-only line ends read alike;
// - a file that begins with a UTF-16 byte-order mark (FF FE, or FE FF for big-endian) is UTF-16
//   text, converted to the narrow text a caller gets: Windows converts to its ANSI code page
//   (characters it cannot show become '?'), and the narrow text here is UTF-8, in which every
//   character can be shown, so only unpaired surrogates become '?'. A UTF-8 byte-order mark is
//   skipped and the UTF-8 text that follows is the narrow text as it stands.
// A file, section or key that is missing gives the default (null meaning ""), less its trailing
// blanks. The result is cut to nSize - 1 characters and always terminated; the return value is
// the number of characters copied.
//
// Only a regular file is read, and no more of it than its size when it was opened, as Windows reads
// the size first and then that many bytes: a directory, a device, a FIFO or a socket reads as a
// missing file at once, and a file that never ends (a device of endless zeros, a file that grows
// while it is read) cannot keep the caller reading. Memory stays bounded whatever the size.
//
// The file name is a Windows path: drive Z: or a path relative to the current directory. A bare
// file name means a file of the Windows directory on Windows. There is no Windows directory here,
// and reading a same-named file from the current or the executable's directory instead would
// quietly pick up an unrelated file, so a bare name reads as a missing file and gives the default.
//
// Enumerating sections or keys (a null section or key name) is not offered: it returns 0 with an
// empty list and ERROR_INVALID_PARAMETER.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/out_of_memory.h"
#include "platform/posix/paths.h"
#include "platform/windows_api.h"

namespace {

bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The name looked for, without surrounding blanks, and the comparison of a candidate with it.
// The candidate is fed one character at a time; only as many characters as the wanted name has
// are kept, and anything else but blanks beyond that rules the candidate out.
class CNameMatcher {
public:
    explicit CNameMatcher(const char* szWanted) {
        while (IsBlank(static_cast<unsigned char>(*szWanted))) {
            ++szWanted;
        }
        m_wanted = szWanted;
        while (!m_wanted.empty() && IsBlank(static_cast<unsigned char>(m_wanted.back()))) {
            m_wanted.pop_back();
        }
        m_candidate.reserve(m_wanted.size());
    }

    void Start() {
        m_candidate.clear();
        m_bTooLong = false;
    }

    void Add(char c) {
        if (m_candidate.empty() && IsBlank(static_cast<unsigned char>(c))) {
            return;  // Blanks before the name.
        }
        if (m_candidate.size() < m_wanted.size()) {
            m_candidate.push_back(c);
        } else if (!IsBlank(static_cast<unsigned char>(c))) {
            m_bTooLong = true;
        }
    }

    bool Matches() const {
        if (m_bTooLong) {
            return false;
        }
        size_t nLength = m_candidate.size();
        while (nLength > 0 && IsBlank(static_cast<unsigned char>(m_candidate[nLength - 1]))) {
            --nLength;
        }
        return nLength == m_wanted.size() &&
               strncasecmp(m_candidate.data(), m_wanted.data(), nLength) == 0;
    }

private:
    std::string m_wanted;
    std::string m_candidate;
    bool m_bTooLong = false;
};

// The value of the key found, fed one character at a time after the '=' and its blanks. Keeps the
// first nKeep characters (enough for the caller's buffer and an opening quote) and remembers
// where the value ends without its trailing blanks and which character ends it.
class CValueCollector {
public:
    explicit CValueCollector(size_t nKeep) : m_nKeep(nKeep) {}

    void Add(char c) {
        if (m_nLength == 0 && IsBlank(static_cast<unsigned char>(c))) {
            return;  // Blanks before the value.
        }
        if (m_kept.size() < m_nKeep) {
            m_kept.push_back(c);
        }
        ++m_nLength;
        if (!IsBlank(static_cast<unsigned char>(c))) {
            m_nTrimmedLength = m_nLength;
            m_chLast = c;
        }
    }

    // Copies the value, without trailing blanks and one pair of enclosing quotes, cut to
    // nSize - 1 characters. Returns the count of characters copied.
    DWORD CopyTo(char* pDestination, DWORD nSize) const {
        size_t nStart = 0;
        size_t nLength = m_nTrimmedLength;
        if (nLength >= 2 && (m_kept[0] == '"' || m_kept[0] == '\'') && m_chLast == m_kept[0]) {
            nStart = 1;
            nLength -= 2;
        }
        if (nLength > nSize - 1) {
            nLength = nSize - 1;
        }
        memcpy(pDestination, m_kept.data() + nStart, nLength);
        pDestination[nLength] = '\0';
        return static_cast<DWORD>(nLength);
    }

private:
    size_t m_nKeep;
    std::string m_kept;
    size_t m_nLength = 0;
    size_t m_nTrimmedLength = 0;
    char m_chLast = '\0';
};

// The bytes of a regular file, read in blocks, no more than the size it had when opened.
class CProfileFile {
public:
    CProfileFile() = default;
    ~CProfileFile() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    CProfileFile(const CProfileFile&) = delete;
    CProfileFile& operator=(const CProfileFile&) = delete;

    // Opens the file if it is a regular one; otherwise sets the error Windows gives and fails.
    // The type is checked before opening, as opening a device may act on it, and again on what
    // was opened, in case the name was replaced in between. Opening does not wait for a writer,
    // should the name have become a FIFO meanwhile.
    bool Open(const std::string& path) {
        struct stat status;
        if (stat(path.c_str(), &status) != 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            SetLastError(S_ISDIR(status.st_mode) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            return false;
        }
        m_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0 || fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        m_nLeft = static_cast<uint64_t>(status.st_size);
        return true;
    }

    // The next byte, or EOF at the end (or when the file cannot be read further).
    int Next() {
        if (m_nPosition == m_nEnd) {
            const size_t nWanted = m_nLeft < sizeof(m_block) ? m_nLeft : sizeof(m_block);
            ssize_t nRead = 0;
            do {
                nRead = nWanted > 0 ? read(m_fd, m_block, nWanted) : 0;
            } while (nRead < 0 && errno == EINTR);
            if (nRead <= 0) {
                m_nLeft = 0;
                return EOF;
            }
            m_nLeft -= static_cast<uint64_t>(nRead);
            m_nPosition = 0;
            m_nEnd = static_cast<size_t>(nRead);
        }
        return m_block[m_nPosition++];
    }

private:
    int m_fd = -1;
    uint64_t m_nLeft = 0;
    unsigned char m_block[4096];
    size_t m_nPosition = 0;
    size_t m_nEnd = 0;
};

// The narrow text of a profile file, one byte at a time: the bytes as they stand, or UTF-16 text
// (told by its byte-order mark) converted to UTF-8.
class CProfileText {
public:
    explicit CProfileText(CProfileFile& file) : m_file(file) {
        const int c1 = file.Next();
        const int c2 = c1 == 0xEF || c1 == 0xFF || c1 == 0xFE ? file.Next() : EOF;
        if (c1 == 0xFF && c2 == 0xFE) {
            m_eEncoding = EEncoding::Utf16LittleEndian;
        } else if (c1 == 0xFE && c2 == 0xFF) {
            m_eEncoding = EEncoding::Utf16BigEndian;
        } else {
            const int c3 = c1 == 0xEF && c2 == 0xBB ? file.Next() : EOF;
            if (!(c1 == 0xEF && c2 == 0xBB && c3 == 0xBF)) {
                // Not a mark after all: the bytes read are text.
                for (int c : {c1, c2, c3}) {
                    if (c != EOF) {
                        m_pending[m_nPendingEnd++] = static_cast<unsigned char>(c);
                    }
                }
            }
        }
    }

    // The next byte of narrow text, or EOF.
    int Next() {
        if (m_nPendingPosition < m_nPendingEnd) {
            return m_pending[m_nPendingPosition++];
        }
        if (m_eEncoding == EEncoding::Narrow) {
            return m_file.Next();
        }
        m_nPendingPosition = 0;
        m_nPendingEnd = 0;
        const long nUnit = NextUnit();
        if (nUnit == EOF) {
            return EOF;
        }
        long nCodePoint = nUnit;
        if (nUnit >= 0xD800 && nUnit <= 0xDBFF) {
            const long nLow = NextUnit();
            if (nLow >= 0xDC00 && nLow <= 0xDFFF) {
                nCodePoint = 0x10000 + ((nUnit - 0xD800) << 10) + (nLow - 0xDC00);
            } else {
                m_nHeldUnit = nLow;  // read on its own next time
                nCodePoint = '?';
            }
        } else if (nUnit >= 0xDC00 && nUnit <= 0xDFFF) {
            nCodePoint = '?';
        }
        AppendUtf8(nCodePoint);
        return m_pending[m_nPendingPosition++];
    }

private:
    enum class EEncoding { Narrow, Utf16LittleEndian, Utf16BigEndian };

    // The next UTF-16 code unit, or EOF. A last odd byte counts as a unit padded with a zero
    // byte, as Windows reads it.
    long NextUnit() {
        if (m_nHeldUnit != kNoUnit) {
            const long nUnit = m_nHeldUnit;
            m_nHeldUnit = kNoUnit;
            return nUnit;
        }
        const int c1 = m_file.Next();
        if (c1 == EOF) {
            return EOF;
        }
        int c2 = m_file.Next();
        if (c2 == EOF) {
            c2 = 0;
        }
        return m_eEncoding == EEncoding::Utf16LittleEndian ? c1 | (c2 << 8) : (c1 << 8) | c2;
    }

    void AppendUtf8(long nCodePoint) {
        auto add = [this](long nByte) {
            m_pending[m_nPendingEnd++] = static_cast<unsigned char>(nByte);
        };
        if (nCodePoint < 0x80) {
            add(nCodePoint);
        } else if (nCodePoint < 0x800) {
            add(0xC0 | (nCodePoint >> 6));
            add(0x80 | (nCodePoint & 0x3F));
        } else if (nCodePoint < 0x10000) {
            add(0xE0 | (nCodePoint >> 12));
            add(0x80 | ((nCodePoint >> 6) & 0x3F));
            add(0x80 | (nCodePoint & 0x3F));
        } else {
            add(0xF0 | (nCodePoint >> 18));
            add(0x80 | ((nCodePoint >> 12) & 0x3F));
            add(0x80 | ((nCodePoint >> 6) & 0x3F));
            add(0x80 | (nCodePoint & 0x3F));
        }
    }

    static constexpr long kNoUnit = -2;

    CProfileFile& m_file;
    EEncoding m_eEncoding = EEncoding::Narrow;
    long m_nHeldUnit = kNoUnit;
    unsigned char m_pending[4];  // bytes read ahead or of one converted character
    size_t m_nPendingPosition = 0;
    size_t m_nPendingEnd = 0;
};

enum class ELookup { Found, Missing };

// Reads the text until the key is found in the first section of the wanted name, or until that
// section has ended or the file has.
ELookup FindValue(CProfileText& text, const char* szSection, const char* szKey,
                  CValueCollector& value) {
    enum class EState { LineStart, SectionName, Key, Value, SkipLine };
    CNameMatcher section(szSection);
    CNameMatcher key(szKey);
    bool bInSection = false;
    EState eState = EState::LineStart;

    for (int c = text.Next(); c != EOF; c = text.Next()) {
        if (c == '\n' || c == '\r') {
            if (eState == EState::Value) {
                return ELookup::Found;
            }
            eState = EState::LineStart;
            continue;
        }
        char ch = static_cast<char>(c);
        switch (eState) {
            case EState::LineStart:
                if (IsBlank(c)) {
                    break;
                }
                if (ch == '[') {
                    if (bInSection) {
                        // The wanted section has ended without the key.
                        return ELookup::Missing;
                    }
                    section.Start();
                    eState = EState::SectionName;
                } else if (!bInSection) {
                    eState = EState::SkipLine;
                } else if (ch == '=') {
                    key.Start();
                    eState = key.Matches() ? EState::Value : EState::SkipLine;
                } else {
                    key.Start();
                    key.Add(ch);
                    eState = EState::Key;
                }
                break;
            case EState::SectionName:
                if (ch == ']') {
                    bInSection = section.Matches();
                    eState = EState::SkipLine;
                } else {
                    section.Add(ch);
                }
                break;
            case EState::Key:
                if (ch == '=') {
                    eState = key.Matches() ? EState::Value : EState::SkipLine;
                } else {
                    key.Add(ch);
                }
                break;
            case EState::Value:
                value.Add(ch);
                break;
            case EState::SkipLine:
                break;
        }
    }
    // The last line may lack its line feed.
    return eState == EState::Value ? ELookup::Found : ELookup::Missing;
}

DWORD CopyDefault(LPCSTR lpDefault, LPSTR lpReturnedString, DWORD nSize) {
    const char* szDefault = lpDefault != nullptr ? lpDefault : "";
    size_t nLength = strlen(szDefault);
    while (nLength > 0 && IsBlank(static_cast<unsigned char>(szDefault[nLength - 1]))) {
        --nLength;
    }
    if (nLength > nSize - 1) {
        nLength = nSize - 1;
    }
    memcpy(lpReturnedString, szDefault, nLength);
    lpReturnedString[nLength] = '\0';
    return static_cast<DWORD>(nLength);
}

// The value from the file, or the default where the file or the key is missing.
DWORD ReadValue(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                DWORD nSize, LPCSTR lpFileName) {
    std::string path;
    CProfileFile file;
    if (lpFileName == nullptr || !mirel_posix::HasDirectoryPart(lpFileName) ||
        !mirel_posix::WindowsToPosixPath(lpFileName, path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    if (!file.Open(path)) {
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    CProfileText text(file);
    // Room for what the buffer takes and an opening quote.
    CValueCollector value(static_cast<size_t>(nSize) + 1);
    if (FindValue(text, lpAppName, lpKeyName, value) == ELookup::Missing) {
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    return value.CopyTo(lpReturnedString, nSize);
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                                 LPCSTR lpDefault, LPSTR lpReturnedString,
                                                 DWORD nSize, LPCSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0) {
        return 0;
    }
    if (lpAppName == nullptr || lpKeyName == nullptr) {
        lpReturnedString[0] = '\0';
        if (nSize > 1) {
            lpReturnedString[1] = '\0';
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Out of memory, nothing can be read: an empty value, never the default, which would pass
    // for what the file says.
    lpReturnedString[0] = '\0';
    return mirel_posix::FailOnOutOfMemory<DWORD>(0, [&] {
        return ReadValue(lpAppName, lpKeyName, lpDefault, lpReturnedString, nSize, lpFileName);
    });
}
