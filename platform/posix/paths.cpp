// Windows path <-> POSIX path translation for the kernel stand-ins.
#include "platform/posix/paths.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace mirel_posix {

namespace {

bool HasDriveLetter(const char* szPath) {
    return isalpha(static_cast<unsigned char>(szPath[0])) && szPath[1] == ':';
}

// The current directory, or empty when it cannot be read (for instance, removed meanwhile).
std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

// The working directory the process started in, read while the library loads: for a library the
// executable links, that is before main runs. Never freed, as modules ask for the executable's
// path while the process's destructors run.
const char* g_szStartDirectory = nullptr;
__attribute__((constructor)) void RememberStartDirectory() {
    g_szStartDirectory = getcwd(nullptr, 0);
}

// The names of an absolute path, resolved one at a time. The base (the directory a relative
// path starts from) is kept as the system spelled it; only the names of a Windows path given
// after it follow the Windows rules for dots and blanks.
class CPathNames {
public:
    // Starts from an absolute POSIX path.
    explicit CPathNames(const std::string& base) { Add(base.c_str(), false); }

    // Adds the names of a path, separated by any run of the separators, with "." and ".."
    // resolved; bWindowsNames applies the Windows rules for trailing dots and blanks too.
    void Add(const char* szPath, bool bWindowsNames) {
        const char* p = szPath;
        m_bTrailingSeparator = false;
        for (;;) {
            const char* pEnd = p;
            while (*pEnd != '\0' && !IsSeparator(*pEnd, bWindowsNames)) {
                ++pEnd;
            }
            const bool bLast = *pEnd == '\0';
            std::string name(p, static_cast<size_t>(pEnd - p));
            if (name == "..") {
                if (!m_names.empty()) {
                    m_names.pop_back();
                }
            } else if (!name.empty() && name != ".") {
                // A folder's name loses one trailing dot, the last name all its trailing dots
                // and blanks; a name left empty that way names the folder before it.
                if (bWindowsNames && !bLast && name.back() == '.') {
                    name.pop_back();
                } else if (bWindowsNames && bLast) {
                    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
                        name.pop_back();
                    }
                }
                if (!name.empty()) {
                    m_names.push_back(name);
                }
            }
            if (bLast) {
                m_bTrailingSeparator = name.empty() && pEnd != szPath;
                break;
            }
            p = pEnd + 1;
        }
    }

    std::string PosixPath() const {
        std::string path;
        for (const std::string& name : m_names) {
            path += '/';
            path += name;
        }
        if (path.empty() || m_bTrailingSeparator) {
            path += '/';
        }
        return path;
    }

private:
    static bool IsSeparator(char c, bool bWindowsNames) {
        return bWindowsNames ? IsPathSeparator(c) : c == '/';
    }

    std::vector<std::string> m_names;
    bool m_bTrailingSeparator = false;
};

}  // namespace

bool WindowsToPosixPath(const char* szWindows, std::string& posix) {
    posix.clear();
    if (szWindows == nullptr || szWindows[0] == '\0') {
        return false;
    }
    const char* pRest = szWindows;
    if (HasDriveLetter(szWindows)) {
        // Only Z: exists; it is the POSIX root. "Z:name" is relative to the current directory of
        // drive Z:, which is the process's current directory.
        if (toupper(static_cast<unsigned char>(szWindows[0])) != 'Z') {
            return false;
        }
        pRest = szWindows + 2;
    } else if (IsPathSeparator(szWindows[0]) && IsPathSeparator(szWindows[1])) {
        // Network and device paths have no counterpart here.
        return false;
    }
    std::string base = "/";
    if (!IsPathSeparator(pRest[0])) {
        base = CurrentDirectory();
        if (base.empty()) {
            return false;
        }
    }
    CPathNames names(base);
    names.Add(pRest, true);
    posix = names.PosixPath();
    return true;
}

std::string AbsolutePosixPath(const std::string& posix) {
    std::string base = "/";
    if (posix.empty() || posix[0] != '/') {
        base = CurrentDirectory();
        if (base.empty()) {
            return base;
        }
    }
    CPathNames names(base);
    names.Add(posix.c_str(), false);
    return names.PosixPath();
}

std::string PosixToWindowsPath(const std::string& posix) {
    std::string windows;
    windows.reserve(posix.size() + 2);
    if (!posix.empty() && posix[0] == '/') {
        windows = "Z:";
    }
    for (char c : posix) {
        windows.push_back(c == '/' ? '\\' : c);
    }
    return windows;
}

const char* PathFileName(const char* szPath) {
    const char* pName = szPath;
    if (HasDriveLetter(szPath)) {
        pName = szPath + 2;
    }
    for (const char* p = pName; *p != '\0'; ++p) {
        if (IsPathSeparator(*p)) {
            pName = p + 1;
        }
    }
    return pName;
}

bool HasDirectoryPart(const char* szPath) {
    return PathFileName(szPath) != szPath;
}

namespace {

// The system's own path of the executable, with every link resolved.
std::string ResolvedExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return std::string();
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        if (buffer.size() > (1u << 20)) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool IsSameFile(const std::string& first, const std::string& second) {
    struct stat firstStatus;
    struct stat secondStatus;
    return stat(first.c_str(), &firstStatus) == 0 && stat(second.c_str(), &secondStatus) == 0 &&
           firstStatus.st_dev == secondStatus.st_dev && firstStatus.st_ino == secondStatus.st_ino;
}

// The name exec was given, made absolute against the start-up directory. It is trusted only
// while it still leads to the file the process runs: a script names itself there while the
// process runs its interpreter, and the file may have been renamed or replaced since.
std::string StartedExecutablePath() {
    std::string resolved = ResolvedExecutablePath();
    const char* szExecName = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (szExecName == nullptr || szExecName[0] == '\0') {
        return resolved;
    }
    std::string base = "/";
    if (szExecName[0] != '/') {
        if (g_szStartDirectory == nullptr || g_szStartDirectory[0] != '/') {
            return resolved;
        }
        base = g_szStartDirectory;
    }
    CPathNames names(base);
    names.Add(szExecName, false);
    std::string started = names.PosixPath();
    if (resolved.empty() || IsSameFile(started, "/proc/self/exe")) {
        struct stat status;
        if (stat(started.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            return started;
        }
    }
    return resolved;
}

}  // namespace

std::string ExecutablePath() {
    // Found once, as the path a program was started by does not change; never freed, for the
    // same reason as the start-up directory.
    static const std::string* s_pPath = new std::string(StartedExecutablePath());
    return *s_pPath;
}

}  // namespace mirel_posix
