// CTempDir: a fresh folder for one test, removed with everything in it when the test ends.
// Paths are given the Windows way (drive letter, backslashes) on both platforms, so tests write
// configuration files exactly as a user would on Windows.
#ifndef MIREL_TESTS_SUPPORT_TEMP_DIR_H
#define MIREL_TESTS_SUPPORT_TEMP_DIR_H

#include <string>

class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // The folder as a Windows path without a trailing backslash, e.g. Z:\tmp\mirel-1234-1.
    const std::string& Path() const { return m_path; }
    // Path() + "\\" + relative name (which may itself hold backslashes).
    std::string File(const std::string& name) const;
    // Writes a file below the folder, creating its sub-folders. Returns its Windows path.
    std::string Write(const std::string& name, const std::string& contents) const;
    // Copies an existing file (a Windows path) into the folder under a name. Returns its path.
    std::string CopyIn(const std::string& source, const std::string& name) const;

private:
    std::string m_path;
    std::string m_native;  // the same folder in the platform's own spelling
};

// The Windows path of the folder that holds the running test program.
std::string ExecutableDirectory();

// A Windows path in the platform's own spelling: on POSIX, Z:\tmp\x is /tmp/x.
std::string NativePath(const std::string& windowsPath);

// Makes a folder, given as a Windows path, the process's current folder.
void SetCurrentFolder(const std::string& windowsPath);

#endif  // MIREL_TESTS_SUPPORT_TEMP_DIR_H
