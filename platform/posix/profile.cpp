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
// - lines end with LF or CR LF; a UTF-8 byte-order mark at the start of the file is skipped.
// A file, section or key that is missing gives the default (null meaning ""), less its trailing
// blanks. The result is cut to nSize - 1 characters and always terminated; the return value is
// the number of characters copied.
//
// The file name is a Windows path: drive Z: or a path relative to the current directory. A bare
// file name means a file of the Windows directory on Windows. There is no Windows directory here,
// and reading a same-named file from the current or the executable's directory instead would
// quietly pick up an unrelated file, so a bare name reads as a missing file and gives the default.
//
// Enumerating sections or keys (a null section or key name) is not offered: it returns 0 with an
// empty list and ERROR_INVALID_PARAMETER.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

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

enum class ELookup { Found, Missing };

// Reads the file until the key is found in the first section of the wanted name, or until that
// section has ended or the file has.
ELookup FindValue(FILE* pFile, const char* szSection, const char* szKey, CValueCollector& value) {
    enum class EState { LineStart, SectionName, Key, Value, SkipLine };
    CNameMatcher section(szSection);
    CNameMatcher key(szKey);
    bool bInSection = false;
    EState eState = EState::LineStart;

    int c = getc_unlocked(pFile);
    // A UTF-8 byte-order mark before the first line.
    if (c == 0xEF) {
        int c2 = getc_unlocked(pFile);
        int c3 = c2 == 0xBB ? getc_unlocked(pFile) : EOF;
        if (c2 == 0xBB && c3 == 0xBF) {
            c = getc_unlocked(pFile);
        } else {
            // Not a mark after all: read the bytes as text from the start.
            rewind(pFile);
            c = getc_unlocked(pFile);
        }
    }
    for (; c != EOF; c = getc_unlocked(pFile)) {
        if (c == '\n') {
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
    std::string path;
    FILE* pFile = nullptr;
    if (lpFileName != nullptr && mirel_posix::HasDirectoryPart(lpFileName) &&
        mirel_posix::WindowsToPosixPath(lpFileName, path)) {
        pFile = fopen(path.c_str(), "rbe");
    }
    if (pFile == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    // Room for what the buffer takes and an opening quote.
    CValueCollector value(static_cast<size_t>(nSize) + 1);
    ELookup eResult = FindValue(pFile, lpAppName, lpKeyName, value);
    fclose(pFile);
    if (eResult == ELookup::Missing) {
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    return value.CopyTo(lpReturnedString, nSize);
}
