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

// Turns a Windows path into an absolute POSIX path, resolved as GetFullPathName resolves it:
// textually, before the file system is asked, so that "link\..\x" is "x" beside "link" even
// when "link" is a symbolic link to another folder, and "missing\..\x" finds "x". Drive Z: is
// the root: "Z:\opt\app\x" gives "/opt/app/x", "\opt" (rooted on the current drive, which is
// always Z:) gives "/opt", and a relative path ("sub\x.ini", "Z:sub\x.ini") is taken from the
// current directory. Within the path given, as Windows does: runs of separators count as one,
// "." is dropped, ".." drops the name before it (never above the root), a folder name loses one
// trailing dot, and the last name loses its trailing dots and blanks. The current directory
// itself is used as the system reports it. Fails for null or empty text, for another drive
// letter, for network paths ("\\server\share") and when the current directory cannot be read.
bool WindowsToPosixPath(const char* szWindows, std::string& posix);

// A POSIX path made absolute against the current directory, with "." and ".." resolved the same
// textual way but no other name changed. Empty when the current directory cannot be read.
std::string AbsolutePosixPath(const std::string& posix);

// Turns a POSIX path into its Windows spelling: "/opt/app/x" gives "Z:\opt\app\x"; a relative
// path keeps being relative, with backslashes.
std::string PosixToWindowsPath(const std::string& posix);

// The last component of a path, after its last separator of either kind (and after a drive).
const char* PathFileName(const char* szPath);

// True when the path names a directory or more, that is, contains a separator or a drive.
bool HasDirectoryPart(const char* szPath);

// The POSIX path the process's executable was started by, as Windows reports the path a
// program was started by: the name given to exec, taken from the working directory the process
// started in when relative and resolved textually, so a program started through a symbolic link
// is named by the link. Where that name no longer leads to the running executable (a script's
// interpreter, a file renamed or replaced since), the system's own path of the executable, with
// links resolved. Empty when the system can tell neither.
std::string ExecutablePath();

}  // namespace mirel_posix

#endif  // MIREL_PLATFORM_POSIX_PATHS_H
