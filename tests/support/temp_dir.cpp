#include "tests/support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/windows_api.h"

namespace fs = std::filesystem;

namespace {

// Windows spelling of a native path: on POSIX the root is drive Z: and separators are
// backslashes; on Windows the native path already is one.
std::string ToWindowsPath(const fs::path& native) {
#ifdef _WIN32
    return native.string();
#else
    std::string text = "Z:" + native.string();
    for (char& c : text) {
        if (c == '/')
            c = '\\';
    }
    return text;
#endif
}

fs::path ToNativePath(const std::string& windows) {
#ifdef _WIN32
    return fs::path(windows);
#else
    std::string text = windows;
    if (text.size() >= 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') {
        text.erase(0, 2);
    }
    for (char& c : text) {
        if (c == '\\')
            c = '/';
    }
    return fs::path(text);
#endif
}

std::atomic<int> g_nextId{1};

}  // namespace

CTempDir::CTempDir() {
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("mirel-" + std::to_string(GetCurrentThreadId()) + "-" +
                                     std::to_string(g_nextId++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            // Canonical form, so that paths compared in tests match what the system reports.
            m_native = fs::canonical(candidate).string();
            m_path = ToWindowsPath(fs::path(m_native));
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

CTempDir::~CTempDir() {
    std::error_code error;
    fs::remove_all(m_native, error);
}

std::string CTempDir::File(const std::string& name) const {
    return m_path + "\\" + name;
}

std::string CTempDir::Write(const std::string& name, const std::string& contents) const {
    fs::path target = ToNativePath(File(name));
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) {
        throw std::runtime_error("cannot write " + target.string());
    }
    return File(name);
}

std::string CTempDir::CopyIn(const std::string& source, const std::string& name) const {
    fs::path target = ToNativePath(File(name));
    fs::create_directories(target.parent_path());
    fs::copy_file(ToNativePath(source), target, fs::copy_options::overwrite_existing);
    return File(name);
}

std::string NativePath(const std::string& windowsPath) {
    return ToNativePath(windowsPath).string();
}

std::string ExecutableDirectory() {
    char szPath[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path(szPath);
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

void SetCurrentFolder(const std::string& windowsPath) {
    std::filesystem::current_path(ToNativePath(windowsPath));
}
