// mirel-resolve: explains why a module finds, or fails to find, the factory library MirFact.dll.
// It runs the module's own configuration resolution (linked from the same sources) on a registry
// path, prints every step in the order the module takes it, and then loads the library the way
// the module does. Usage and exit status are in PrintUsage.
#include <stdio.h>
#include <string.h>

#include "factory/config_resolution.h"
#include "platform/windows_api.h"
#include "tools/mirel_resolve/resolution_explainer.h"

namespace {

constexpr int kExitUsage = 64;

void PrintUsage(FILE* pOut) {
    fprintf(pOut,
            "usage: mirel-resolve [registry-path]\n"
            "\n"
            "Explains how a module of the framework finds the factory library MirFact.dll from\n"
            "its configuration file, step by step, with the module's own code: the start file,\n"
            "each redirection followed and why the chain stopped, the configuration file used,\n"
            "the keys read with their raw and trimmed values, the rule that built the path, and\n"
            "whether LoadLibraryA loads the result and it exports \"CreateComponent\".\n"
            "\n"
            "  registry-path  the configuration file a host gives the module (SetDLLRegistry).\n"
            "                 Without it the module starts at Mirel.ini in the folder of the\n"
            "                 running program, and a relative path is joined to that folder.\n"
            "                 The running program is mirel-resolve itself, so the default start\n"
            "                 file is the Mirel.ini beside mirel-resolve (%s).\n"
            "                 To explain a host's configuration, pass the full path of the\n"
            "                 host's Mirel.ini.\n"
            "                 Paths are read the Windows way, as the module reads them: on the\n"
            "                 Linux build drive Z: is the root (Z:\\home\\me\\app\\Mirel.ini),\n"
            "                 and a path that begins with '/' counts as relative.\n"
            "\n"
            "A host that hands the module a factory handle with SetFactoryHandle bypasses the\n"
            "configuration file; mirel-resolve explains the file path only. Run the build that\n"
            "matches the host (32-bit or 64-bit), since it loads the library as the host would.\n"
            "\n"
            "Exit status: 0 the factory library loads and exports \"CreateComponent\";\n"
            "1 it cannot be loaded (the module reports \"[Mirel_Error] Load MirFact.dll Fail.\");\n"
            "2 it loads but does not export \"CreateComponent\"; 64 bad usage.\n",
            GetExeDirectory());
}

}  // namespace

int main(int argc, char** argv) {
    const char* szRegistryPath = nullptr;
    int nArgument = 1;
    if (nArgument < argc && strcmp(argv[nArgument], "--") == 0) {
        ++nArgument;  // whatever follows is the path, even when it begins with a dash
    } else if (nArgument < argc && argv[nArgument][0] == '-') {
        if (strcmp(argv[nArgument], "-h") == 0 || strcmp(argv[nArgument], "--help") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        fprintf(stderr, "mirel-resolve: unknown option %s\n\n", argv[nArgument]);
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (nArgument < argc) {
        szRegistryPath = argv[nArgument++];
    }
    if (nArgument < argc) {
        fprintf(stderr, "mirel-resolve: one registry path at most\n\n");
        PrintUsage(stderr);
        return kExitUsage;
    }

#ifdef _WIN32
    // A library that fails to load must come back as an error code to explain, not as a message
    // box that waits for someone to close it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
#endif

    CResolutionExplainer explainer;
    EExplainStatus eStatus = explainer.Explain(szRegistryPath);
    for (const std::string& line : explainer.Lines()) {
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
    return eStatus;
}
