// The configurations that the resolution tests and the explainer tests share: for each, the INI
// files to write into a fresh folder, the registry path to start from, and every step the module
// takes with them, down to the factory library's path. Text may hold "{dir}", which stands for
// that folder's Windows path. Built on the test's thread; no shared state.
#ifndef MIREL_TESTS_SUPPORT_RESOLUTION_FIXTURES_H
#define MIREL_TESTS_SUPPORT_RESOLUTION_FIXTURES_H

#include <string>
#include <vector>

#include "factory/config_resolution.h"
#include "tests/support/temp_dir.h"

struct IniFile {
    std::string name;  // below the folder, e.g. "conf\\main.ini"
    std::string contents;
};

// One file of the chain of redirections as the module reads it.
struct RedirectStep {
    std::string file;
    std::string value;  // its "Redirect" "Path" as read
    ERedirectRule eRule;
    std::string next;  // the file the chain goes on to or ends with
};

// One key of the configuration file as read and as used.
struct KeyRead {
    std::string section;
    std::string key;
    std::string raw;
    std::string used;
};

struct ResolutionFixture {
    std::string label;
    std::vector<IniFile> files;
    std::string start;  // the registry path: always absolute, so the test's folder plays no part
    std::vector<RedirectStep> redirects;  // every file the chain reads, in order
    std::string configFile;
    std::vector<KeyRead> keys;  // only the keys the module reads, in order
    EModulePathRule eRule;
    std::string modulePath;
};

// Chains of redirections: blank, relative (final), absolute, cycles, the bound, a missing file.
std::vector<ResolutionFixture> RedirectFixtures();
// One configuration file per row of the outcome table, with the values that select it.
std::vector<ResolutionFixture> OutcomeFixtures();
// Mirel.ini redirects relatively to conf\main.ini, whose relative DllPath puts the library into
// conf\bin.
ResolutionFixture WorkedExampleFixture();
std::vector<ResolutionFixture> AllResolutionFixtures();

// The text with every "{dir}" replaced by the folder.
std::string ExpandFixtureText(const std::string& text, const std::string& folder);
// Writes the fixture's files into the folder and returns the fixture with all its text expanded.
ResolutionFixture WriteFixture(const ResolutionFixture& fixture, const CTempDir& dir);

#endif  // MIREL_TESTS_SUPPORT_RESOLUTION_FIXTURES_H
