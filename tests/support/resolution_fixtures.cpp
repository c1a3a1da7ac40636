#include "tests/support/resolution_fixtures.h"

namespace {

constexpr char kFolder[] = "{dir}";

KeyRead Dll(const std::string& raw, const std::string& used) {
    return {"361", "DLL", raw, used};
}
KeyRead Dll(const std::string& raw) {
    return Dll(raw, raw);
}
KeyRead Flag(const std::string& raw, const std::string& used) {
    return {"361", "NotUseDefaultDllPath", raw, used};
}
KeyRead Flag(const std::string& raw) {
    return Flag(raw, raw);
}
KeyRead DllPath(const std::string& raw) {
    return {"DefaultValue", "DllPath", raw, raw};
}
// What a file without sections "361" and "DefaultValue" gives: every key at its default.
std::vector<KeyRead> DefaultKeys() {
    return {Dll(""), Flag("0"), DllPath("")};
}

std::string In(const std::string& name) {
    return std::string(kFolder) + "\\" + name;
}

// A file whose "Redirect" is blank or missing: the chain ends with it.
RedirectStep End(const std::string& file) {
    return {file, "", ERedirectRule::kNone, file};
}

std::string RedirectTo(const std::string& value) {
    return "[Redirect]\r\nPath=" + value + "\r\n";
}

}  // namespace

std::vector<ResolutionFixture> RedirectFixtures() {
    std::vector<ResolutionFixture> fixtures;

    fixtures.push_back({"a missing start file reads as empty",
                        {},
                        In("missing.ini"),
                        {End(In("missing.ini"))},
                        In("missing.ini"),
                        DefaultKeys(),
                        EModulePathRule::kConfigDir,
                        In("")});

    fixtures.push_back({"a blank Redirect ends the chain",
                        {{"blank.ini", "[Redirect]\r\nPath= \t \r\n[361]\r\nDLL=MirFact.dll\r\n"}},
                        In("blank.ini"),
                        {End(In("blank.ini"))},
                        In("blank.ini"),
                        {Dll("MirFact.dll"), Flag("0"), DllPath("")},
                        EModulePathRule::kConfigDir,
                        In("MirFact.dll")});

    // The target's own redirection, to a file that exists, is not read.
    fixtures.push_back(
        {"a relative Redirect is final",
         {{"Mirel.ini", RedirectTo("conf\\main.ini")},
          {"conf\\main.ini", RedirectTo(In("other.ini")) + "[361]\r\nDLL=MirFact.dll\r\n"},
          {"other.ini", "[361]\r\nDLL=Other.dll\r\n"}},
         In("Mirel.ini"),
         {{In("Mirel.ini"), "conf\\main.ini", ERedirectRule::kRelative, In("conf\\main.ini")}},
         In("conf\\main.ini"),
         {Dll("MirFact.dll"), Flag("0"), DllPath("")},
         EModulePathRule::kConfigDir,
         In("conf\\MirFact.dll")});

    // The last absolute target may itself redirect relatively, which then ends the chain.
    fixtures.push_back({"absolute Redirects are followed to the last file",
                        {{"a.ini", RedirectTo(In("b.ini"))},
                         {"b.ini", RedirectTo(In("c.ini"))},
                         {"c.ini", RedirectTo("sub\\d.ini")},
                         {"sub\\d.ini", "[361]\r\nDLL=MirFact.dll\r\nNotUseDefaultDllPath=1\r\n"}},
                        In("a.ini"),
                        {{In("a.ini"), In("b.ini"), ERedirectRule::kAbsolute, In("b.ini")},
                         {In("b.ini"), In("c.ini"), ERedirectRule::kAbsolute, In("c.ini")},
                         {In("c.ini"), "sub\\d.ini", ERedirectRule::kRelative, In("sub\\d.ini")}},
                        In("sub\\d.ini"),
                        {Dll("MirFact.dll"), Flag("1")},
                        EModulePathRule::kConfigDirByFlag,
                        In("sub\\MirFact.dll")});

    // A chain that comes back to a file it has read stops, and the last file read is used: each
    // file names its own library, so using the wrong one shows.
    const std::vector<IniFile> cycle = {
        {"a.ini", RedirectTo(In("b.ini")) + "[361]\r\nDLL=FromA.dll\r\n"},
        {"b.ini", RedirectTo(In("a.ini")) + "[361]\r\nDLL=FromB.dll\r\n"}};
    fixtures.push_back({"a cycle entered at a stops at b",
                        cycle,
                        In("a.ini"),
                        {{In("a.ini"), In("b.ini"), ERedirectRule::kAbsolute, In("b.ini")},
                         {In("b.ini"), In("a.ini"), ERedirectRule::kCycle, In("b.ini")}},
                        In("b.ini"),
                        {Dll("FromB.dll"), Flag("0"), DllPath("")},
                        EModulePathRule::kConfigDir,
                        In("FromB.dll")});
    fixtures.push_back({"a cycle entered at b stops at a",
                        cycle,
                        In("b.ini"),
                        {{In("b.ini"), In("a.ini"), ERedirectRule::kAbsolute, In("a.ini")},
                         {In("a.ini"), In("b.ini"), ERedirectRule::kCycle, In("a.ini")}},
                        In("a.ini"),
                        {Dll("FromA.dll"), Flag("0"), DllPath("")},
                        EModulePathRule::kConfigDir,
                        In("FromA.dll")});
    fixtures.push_back({"a file that redirects to itself is used",
                        {{"self.ini", RedirectTo(In("self.ini"))}},
                        In("self.ini"),
                        {{In("self.ini"), In("self.ini"), ERedirectRule::kCycle, In("self.ini")}},
                        In("self.ini"),
                        DefaultKeys(),
                        EModulePathRule::kConfigDir,
                        In("")});

    // A chain of distinct files stops after kMaxConfigFiles files, at the last one read.
    ResolutionFixture chain{
        "a long chain stops at the bound", {},    In("f0.ini"), {}, "", DefaultKeys(),
        EModulePathRule::kConfigDir,       In("")};
    auto file = [](int n) { return "f" + std::to_string(n) + ".ini"; };
    for (int i = 0; i < kMaxConfigFiles + 4; ++i) {
        chain.files.push_back({file(i), RedirectTo(In(file(i + 1)))});
    }
    for (int i = 0; i < kMaxConfigFiles; ++i) {
        const bool bLast = i + 1 == kMaxConfigFiles;
        chain.redirects.push_back({In(file(i)), In(file(i + 1)),
                                   bLast ? ERedirectRule::kLimit : ERedirectRule::kAbsolute,
                                   In(file(bLast ? i : i + 1))});
    }
    chain.configFile = In(file(kMaxConfigFiles - 1));
    fixtures.push_back(chain);
    return fixtures;
}

namespace {

// One configuration file, "case.ini", without redirection: the lines of section "361" (none
// when null) and the "DllPath" of section "DefaultValue" (no section when null). In the expected
// path, "@" stands for the configuration file's folder.
ResolutionFixture OutcomeRow(const std::string& label, const char* szSection361,
                             const char* szDllPath, std::vector<KeyRead> keys,
                             EModulePathRule eRule, const std::string& expected) {
    std::string contents;
    if (szSection361 != nullptr) {
        contents += std::string("[361]\r\n") + szSection361 + "\r\n";
    }
    if (szDllPath != nullptr) {
        contents += std::string("[DefaultValue]\r\nDllPath=") + szDllPath + "\r\n";
    }
    const std::string config = In("case.ini");
    return {label,  {{"case.ini", contents}},
            config, {End(config)},
            config, std::move(keys),
            eRule,  expected[0] == '@' ? In(expected.substr(1)) : expected};
}

}  // namespace

std::vector<ResolutionFixture> OutcomeFixtures() {
    using R = EModulePathRule;
    const std::string longName(300, 'n');
    const std::string longLine = "DLL=" + longName;
    return {
        OutcomeRow("absolute DLL wins over everything",
                   "DLL=C:\\f\\MirFact.dll\r\nNotUseDefaultDllPath=1", "bin",
                   {Dll("C:\\f\\MirFact.dll")}, R::kAbsoluteDll, "C:\\f\\MirFact.dll"),
        OutcomeRow("absolute DLL beginning with a backslash", "DLL=\\f\\MirFact.dll", "C:\\lib",
                   {Dll("\\f\\MirFact.dll")}, R::kAbsoluteDll, "\\f\\MirFact.dll"),
        OutcomeRow("flag 1 with DllPath set", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=1", "bin",
                   {Dll("MirFact.dll"), Flag("1")}, R::kConfigDirByFlag, "@MirFact.dll"),
        OutcomeRow("flag beginning with 1", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=1yes",
                   "C:\\lib", {Dll("MirFact.dll"), Flag("1yes")}, R::kConfigDirByFlag,
                   "@MirFact.dll"),
        OutcomeRow("flag 0, DllPath blank", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=0", "",
                   {Dll("MirFact.dll"), Flag("0"), DllPath("")}, R::kConfigDir, "@MirFact.dll"),
        OutcomeRow("no flag, no DllPath", "DLL=MirFact.dll", nullptr,
                   {Dll("MirFact.dll"), Flag("0"), DllPath("")}, R::kConfigDir, "@MirFact.dll"),
        OutcomeRow("absolute DllPath", "DLL=MirFact.dll", "C:\\lib",
                   {Dll("MirFact.dll"), Flag("0"), DllPath("C:\\lib")}, R::kAbsoluteDefaultDir,
                   "C:\\lib\\MirFact.dll"),
        OutcomeRow("absolute DllPath with backslash", "DLL=MirFact.dll", "C:\\lib\\",
                   {Dll("MirFact.dll"), Flag("0"), DllPath("C:\\lib\\")}, R::kAbsoluteDefaultDir,
                   "C:\\lib\\\\MirFact.dll"),
        OutcomeRow("relative DllPath", "DLL=MirFact.dll", "bin",
                   {Dll("MirFact.dll"), Flag("0"), DllPath("bin")}, R::kRelativeDefaultDir,
                   "@bin\\MirFact.dll"),
        OutcomeRow("flag 01 falls through", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=01", "bin",
                   {Dll("MirFact.dll"), Flag("01"), DllPath("bin")}, R::kRelativeDefaultDir,
                   "@bin\\MirFact.dll"),
        OutcomeRow("empty flag falls through", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=", "bin",
                   {Dll("MirFact.dll"), Flag(""), DllPath("bin")}, R::kRelativeDefaultDir,
                   "@bin\\MirFact.dll"),
        OutcomeRow("relative DLL with directory", "DLL=lib\\MirFact.dll", "C:\\x",
                   {Dll("lib\\MirFact.dll"), Flag("0"), DllPath("C:\\x")}, R::kAbsoluteDefaultDir,
                   "C:\\x\\lib\\MirFact.dll"),
        OutcomeRow("DLL with inner blank", "DLL=My Fact.dll", nullptr,
                   {Dll("My Fact.dll"), Flag("0"), DllPath("")}, R::kConfigDir, "@My Fact.dll"),
        // Quotes keep the blanks from the profile reader; trimming then removes them.
        OutcomeRow("quoted values are trimmed",
                   "DLL=\" MirFact.dll \"\r\nNotUseDefaultDllPath=' 1 '", "bin",
                   {Dll(" MirFact.dll ", "MirFact.dll"), Flag(" 1 ", "1")}, R::kConfigDirByFlag,
                   "@MirFact.dll"),
        OutcomeRow("no DLL: the configuration directory", nullptr, nullptr, DefaultKeys(),
                   R::kConfigDir, "@"),
        OutcomeRow("no DLL, absolute DllPath", "NotUseDefaultDllPath=0", "C:\\lib",
                   {Dll(""), Flag("0"), DllPath("C:\\lib")}, R::kAbsoluteDefaultDir, "C:\\lib\\"),
        OutcomeRow("no DLL, relative DllPath", nullptr, "bin", {Dll(""), Flag("0"), DllPath("bin")},
                   R::kRelativeDefaultDir, "@bin\\"),
        // The over-long name is dropped when it is trimmed, and the rest goes on without it.
        OutcomeRow("over-long DLL is left out", longLine.c_str(), "bin",
                   {Dll(longName, ""), Flag("0"), DllPath("bin")}, R::kRelativeDefaultDir,
                   "@bin\\"),
    };
}

// The relative DllPath is itself resolved against the configuration file's folder, and the
// target's own absolute redirection is never read.
ResolutionFixture WorkedExampleFixture() {
    return {
        "the worked example",
        {{"Mirel.ini", RedirectTo("conf\\main.ini")},
         {"conf\\main.ini", RedirectTo(In("ignored.ini")) +
                                "[361]\r\nDLL= MirFact.dll \r\n[DefaultValue]\r\nDllPath=bin\r\n"}},
        In("Mirel.ini"),
        {{In("Mirel.ini"), "conf\\main.ini", ERedirectRule::kRelative, In("conf\\main.ini")}},
        In("conf\\main.ini"),
        {Dll("MirFact.dll"), Flag("0"), DllPath("bin")},
        EModulePathRule::kRelativeDefaultDir,
        In("conf\\bin\\MirFact.dll")};
}

std::vector<ResolutionFixture> AllResolutionFixtures() {
    std::vector<ResolutionFixture> fixtures = RedirectFixtures();
    for (ResolutionFixture& fixture : OutcomeFixtures()) {
        fixtures.push_back(std::move(fixture));
    }
    fixtures.push_back(WorkedExampleFixture());
    return fixtures;
}

std::string ExpandFixtureText(const std::string& text, const std::string& folder) {
    std::string expanded;
    size_t nFrom = 0;
    for (size_t nAt = text.find(kFolder); nAt != std::string::npos;
         nAt = text.find(kFolder, nFrom)) {
        expanded.append(text, nFrom, nAt - nFrom).append(folder);
        nFrom = nAt + sizeof(kFolder) - 1;
    }
    return expanded.append(text, nFrom, std::string::npos);
}

ResolutionFixture WriteFixture(const ResolutionFixture& fixture, const CTempDir& dir) {
    auto expand = [&dir](const std::string& text) { return ExpandFixtureText(text, dir.Path()); };
    ResolutionFixture expanded = fixture;
    for (IniFile& file : expanded.files) {
        file.contents = expand(file.contents);
        dir.Write(file.name, file.contents);
    }
    expanded.start = expand(expanded.start);
    for (RedirectStep& step : expanded.redirects) {
        step.file = expand(step.file);
        step.value = expand(step.value);
        step.next = expand(step.next);
    }
    expanded.configFile = expand(expanded.configFile);
    for (KeyRead& key : expanded.keys) {
        key.raw = expand(key.raw);
        key.used = expand(key.used);
    }
    expanded.modulePath = expand(expanded.modulePath);
    return expanded;
}
