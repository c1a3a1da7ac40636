// Translation between the Windows paths that module code passes to the stand-ins and the POSIX
// paths the system understands. Drive Z: is the POSIX root and both slashes and backslashes
// separate components; no other drive exists. Used by the kernel stand-ins (modules, profile
// files, debug output) on any thread; pure functions without shared state.
#ifndef MIREL_PLATFORM_POSIX_PATHS_H
#define MIREL_PLATFORM_POSIX_PATHS_H

#include <string>

namespace mirel_posix {

// True for the two separators Windows accepts.
inline bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

// Turns a Windows path into a POSIX path: "Z:\opt\app\x" gives "/opt/app/x", "\opt" (rooted on
// the current drive, which is always Z:) gives "/opt", "sub\x.ini" gives "sub/x.ini" (relative to
// the current directory, as on Windows). Fails for null or empty text, for another drive letter
// and for network paths ("\\server\share"), none of which exist here.
bool WindowsToPosixPath(const char* szWindows, std::string& posix);

// The same, and a relative result is made absolute against the current directory, so that the
// path stays valid when the current directory changes later.
bool WindowsToAbsolutePosixPath(const char* szWindows, std::string& posix);

// Turns a POSIX path into its Windows spelling: "/opt/app/x" gives "Z:\opt\app\x"; a relative
// path keeps being relative, with backslashes.
std::string PosixToWindowsPath(const std::string& posix);

// The last component of a path, after its last separator of either kind (and after a drive).
const char* PathFileName(const char* szPath);

// True when the path names a directory or more, that is, contains a separator or a drive.
bool HasDirectoryPart(const char* szPath);

// The full POSIX path of the process's executable file, or empty when the system cannot tell.
std::string ExecutablePath();

}  // namespace mirel_posix

#endif  // MIREL_PLATFORM_POSIX_PATHS_H
