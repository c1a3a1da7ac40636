// libFuzzer target for the configuration resolution: arbitrary configuration files and registry
// paths go through both stages exactly as the module runs them, and every path that comes out,
// the intermediate ones the observer sees included, must fit its 260-byte buffer.
//
// Input: the first line is the registry path ("*" for none); the rest is the text of a.ini, and
// after a line "##" the text of b.ini. "$D" anywhere stands for the folder the two files are
// written to, so that inputs can redirect between them.
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "factory/config_resolution.h"
#include "base/module_state.h"

namespace {

constexpr char kFileSeparator[] = "\n##\n";

std::string g_posixFolder;    // the folder as the file system spells it
std::string g_windowsFolder;  // and as the resolution sees it, Z:\...

void RemoveFolder() {
    unlink((g_posixFolder + "/a.ini").c_str());
    unlink((g_posixFolder + "/b.ini").c_str());
    rmdir(g_posixFolder.c_str());
}

void CreateFolder() {
    char szTemplate[] = "/tmp/mirel-fuzz-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        abort();
    }
    g_posixFolder = szTemplate;
    g_windowsFolder = "Z:" + g_posixFolder;
    for (char& c : g_windowsFolder) {
        if (c == '/') {
            c = '\\';
        }
    }
    atexit(RemoveFolder);
}

// The redirections of an input may name any file at all. Only the fuzzer's own folder is read;
// anything else (a device that never ends, a file of the machine) reads as a missing file, which
// the resolution must handle anyway.
bool IsInsideFolder(const char* szPath) {
    std::string prefix = g_windowsFolder + "\\";
    return szPath != nullptr && strncmp(szPath, prefix.c_str(), prefix.size()) == 0 &&
           strstr(szPath, "..") == nullptr;
}

void WriteOrRemove(const char* szName, const std::string& text, bool bPresent) {
    std::string path = g_posixFolder + "/" + szName;
    if (!bPresent) {
        unlink(path.c_str());
        return;
    }
    FILE* pFile = fopen(path.c_str(), "wb");
    if (pFile == nullptr) {
        abort();
    }
    fwrite(text.data(), 1, text.size(), pFile);
    fclose(pFile);
}

std::string ReplaceFolder(std::string text) {
    for (size_t at = text.find("$D"); at != std::string::npos;
         at = text.find("$D", at + g_windowsFolder.size())) {
        text.replace(at, 2, g_windowsFolder);
    }
    return text;
}

void CheckPath(const char* szPath) {
    if (szPath == nullptr || strnlen(szPath, kPathBufferSize) >= kPathBufferSize) {
        abort();
    }
}

// Every path the resolution reports must fit a path buffer; raw values fit theirs.
class CCheckingObserver : public IResolutionObserver {
public:
    void OnStartFile(const char*, EStartRule eRule, const char* szStartFile) override {
        // A registry path used as given is the caller's text and may be of any length.
        if (eRule != EStartRule::kAsGiven) {
            CheckPath(szStartFile);
        }
    }
    void OnRedirect(const char*, const char* szValue, ERedirectRule eRule,
                    const char* szNext) override {
        CheckPath(szValue);
        // The other rules name the file just read, which may be the caller's over-long start file.
        if (eRule == ERedirectRule::kAbsolute || eRule == ERedirectRule::kRelative) {
            CheckPath(szNext);
        }
    }
    void OnConfigFile(const char* szConfigFile) override { CheckPath(szConfigFile); }
    void OnKey(const char*, const char*, const char* szRaw, const char* szUsed) override {
        if (strnlen(szRaw, kTextBufferSize) >= kTextBufferSize) {
            abort();
        }
        CheckPath(szUsed);
    }
    void OnModulePath(EModulePathRule, const char* szModulePath) override {
        CheckPath(szModulePath);
    }
};

// The path builders on their own, with the input's text and small buffers of every size.
void FuzzBuilders(const std::string& first, const std::string& second, uint8_t nSize) {
    int nDestSize = nSize % 64;
    char szDest[64];
    memset(szDest, 'x', sizeof(szDest));
    TrimBlanks(first.c_str(), szDest, nDestSize);
    MakeSiblingPath(first.c_str(), second.c_str(), szDest, nDestSize);
    JoinDirectory(first.c_str(), second.c_str(), szDest, nDestSize);
    MakeExePath(second.c_str(), szDest, nDestSize);
    if (nDestSize > 0 && strnlen(szDest, nDestSize) >= static_cast<size_t>(nDestSize)) {
        abort();
    }
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR szSection, LPCSTR szKey, LPCSTR szDefault,
                                                 LPSTR szValue, DWORD nSize, LPCSTR szFileName) {
    using ReaderFn = DWORD (*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR);
    static ReaderFn s_pfnReal =
        reinterpret_cast<ReaderFn>(dlsym(RTLD_NEXT, "GetPrivateProfileStringA"));
    if (IsInsideFolder(szFileName)) {
        return s_pfnReal(szSection, szKey, szDefault, szValue, nSize, szFileName);
    }
    if (nSize == 0) {
        return 0;
    }
    const char* szText = szDefault != nullptr ? szDefault : "";
    size_t nLength = strnlen(szText, nSize - 1);
    memcpy(szValue, szText, nLength);
    szValue[nLength] = 0;
    return static_cast<DWORD>(nLength);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (g_posixFolder.empty()) {
        CreateFolder();
    }
    std::string input(reinterpret_cast<const char*>(pData), nSize);
    // Text is zero-terminated throughout; an embedded zero would only end a string early.
    for (char& c : input) {
        if (c == 0) {
            c = ' ';
        }
    }
    size_t nLineEnd = input.find('\n');
    std::string registryPath = ReplaceFolder(input.substr(0, nLineEnd));
    std::string rest = nLineEnd == std::string::npos ? std::string() : input.substr(nLineEnd + 1);
    size_t nSplit = rest.find(kFileSeparator);
    std::string fileA = ReplaceFolder(rest.substr(0, nSplit));
    std::string fileB = nSplit == std::string::npos
                            ? std::string()
                            : ReplaceFolder(rest.substr(nSplit + strlen(kFileSeparator)));
    WriteOrRemove("a.ini", fileA, nLineEnd != std::string::npos);
    WriteOrRemove("b.ini", fileB, nSplit != std::string::npos);

    FactoryHandle = nullptr;
    CCheckingObserver observer;
    char szModulePath[kPathBufferSize];
    memset(szModulePath, 'x', sizeof(szModulePath));
    const char* szRegistryPath = registryPath == "*" ? "" : registryPath.c_str();
    ResolveFactoryModulePath(szRegistryPath, szModulePath, kPathBufferSize, &observer);
    CheckPath(szModulePath);

    FuzzBuilders(registryPath, fileA, nSize > 0 ? pData[0] : 0);
    return 0;
}
