// CResolutionExplainer: runs the module's own configuration resolution with itself as the
// observer, writes every step down as a line of plain text, and then tries the resolved factory
// library the way the module loads it. Used by mirel-resolve and by its tests, on one thread at a
// time; it takes no lock.
#ifndef MIREL_TOOLS_MIREL_RESOLVE_RESOLUTION_EXPLAINER_H
#define MIREL_TOOLS_MIREL_RESOLVE_RESOLUTION_EXPLAINER_H

#include <string>
#include <vector>

#include "factory/config_resolution.h"

// The outcome of one explanation, which mirel-resolve also uses as its exit status.
enum EExplainStatus : int {
    kFactoryLoads = 0,         // the library loads and exports "CreateComponent"
    kFactoryDoesNotLoad = 1,   // LoadLibraryA gives no handle
    kFactoryWithoutEntry = 2,  // it loads, but "CreateComponent" is missing
};

class CResolutionExplainer final : public IResolutionObserver {
public:
    CResolutionExplainer() = default;
    CResolutionExplainer(const CResolutionExplainer&) = delete;
    CResolutionExplainer& operator=(const CResolutionExplainer&) = delete;

    // Resolves the registry path (null or empty: none) exactly as a module does when the host has
    // given it no factory handle, then loads the result and looks for "CreateComponent". The
    // lines of any earlier explanation are dropped first.
    EExplainStatus Explain(const char* szRegistryPath);

    const std::vector<std::string>& Lines() const { return m_lines; }
    // The factory library's path as the module's resolution produced it.
    const std::string& ModulePath() const { return m_modulePath; }

    void OnStartFile(const char* szRegistryPath, EStartRule eRule,
                     const char* szStartFile) override;
    void OnRedirect(const char* szFile, const char* szValue, ERedirectRule eRule,
                    const char* szNextFile) override;
    void OnConfigFile(const char* szConfigFile) override;
    void OnKey(const char* szSection, const char* szKey, const char* szRaw,
               const char* szUsed) override;
    void OnModulePath(EModulePathRule eRule, const char* szModulePath) override;

private:
    void Line(const std::string& text);
    void Note(const std::string& text);  // a line that explains the one before it
    EExplainStatus TryLoad();

    std::vector<std::string> m_lines;
    std::string m_modulePath;
    int m_nFilesRead = 0;
    bool m_bReadFlag = false;
    bool m_bReadDllPath = false;
};

#endif  // MIREL_TOOLS_MIREL_RESOLVE_RESOLUTION_EXPLAINER_H
