// The factory library's own configuration sections: which module provides a component
// ("Components") and the two words of a component's configuration record ("ComponentConfig"),
// read from the configuration file that a registry path resolves to, the same file the modules
// resolve. Any thread; only the store of configuration words takes a lock, a leaf one.
#ifndef MIREL_FRAMEWORK_FACTORY_CONFIG_H
#define MIREL_FRAMEWORK_FACTORY_CONFIG_H

#include <stdint.h>

#include <set>

#include "framework/critical_lock.h"

constexpr char kComponentsSection[] = "Components";
constexpr char kComponentConfigSection[] = "ComponentConfig";

// Writes the path of the module that provides the component into szModulePath (260 bytes): the
// value of key <ID> in section "Components", used unchanged when absolute, else put into the
// configuration file's directory. Returns 0, with a diagnostic line, when no module is named.
int32_t FindComponentModule(const char* szRegistryPath, int32_t nComponentId, char* szModulePath,
                            int nSize);

// The two words of the component's record in section "ComponentConfig", or null when the
// configuration has none (a value that is not two integers is traced and counts as none). The
// words are owned by the factory library and stay valid and unchanged for its whole life, so one
// caller may still be copying them while another asks for other words. The value is two integers
// separated by a comma, each in decimal or with a 0x prefix and blanks allowed around it, each
// from -2147483648 to 4294967295 (the upper half kept as its 32-bit pattern).
const int32_t* FindComponentConfigWords(const char* szRegistryPath, int32_t nComponentId);

// Every pair of words ever handed out, each stored once and never moved or freed while the
// library is loaded: a caller copies the words after the call, possibly while another thread asks
// for other ones.
struct ConfigWords {
    int32_t aWords[2];
    bool operator<(const ConfigWords& other) const {
        return aWords[0] != other.aWords[0] ? aWords[0] < other.aWords[0]
                                            : aWords[1] < other.aWords[1];
    }
};

class CConfigWordStore {
public:
    CConfigWordStore() = default;
    CConfigWordStore(const CConfigWordStore&) = delete;
    CConfigWordStore& operator=(const CConfigWordStore&) = delete;

    // The stored copy of the two words.
    const int32_t* Keep(const int32_t (&aWords)[2]);

private:
    CCriticalLock m_lock;
    std::set<ConfigWords> m_words;
};

extern CConfigWordStore ConfigWordStore;

#endif  // MIREL_FRAMEWORK_FACTORY_CONFIG_H
