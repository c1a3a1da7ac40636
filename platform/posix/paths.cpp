// Windows path <-> POSIX path translation for the kernel stand-ins.
#include "platform/posix/paths.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
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
        if (*pRest == '\0') {
            posix = ".";
            return true;
        }
    } else if (IsPathSeparator(szWindows[0]) && IsPathSeparator(szWindows[1])) {
        // Network and device paths have no counterpart here.
        return false;
    }
    posix.reserve(strlen(pRest));
    for (const char* p = pRest; *p != '\0'; ++p) {
        posix.push_back(*p == '\\' ? '/' : *p);
    }
    return true;
}

bool WindowsToAbsolutePosixPath(const char* szWindows, std::string& posix) {
    if (!WindowsToPosixPath(szWindows, posix)) {
        return false;
    }
    if (posix[0] != '/') {
        std::string directory = CurrentDirectory();
        if (directory.empty()) {
            posix.clear();
            return false;
        }
        if (posix == ".") {
            posix = directory;
        } else {
            posix = directory + (directory.back() == '/' ? "" : "/") + posix;
        }
    }
    return true;
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

std::string ExecutablePath() {
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

}  // namespace mirel_posix
