// The INI reader GetPrivateProfileStringA, for everything the configuration resolution reads:
// the same cases run against the Windows reader under Wine and against the POSIX stand-in, so
// the stand-in is held to what Windows does.
#include <stdint.h>
#include <string.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

namespace {

// Blanks, quotes, comments, duplicates and odd lines, as users write them.
constexpr char kIniText[] =
    "; a comment before any section\n"
    "[Alpha]\n"
    "Key1=plain\n"
    "  Spaced Key  =   padded value   \n"
    "Quoted=\"  inside quotes  \"\n"
    "Single='single'\n"
    "OpenQuote=\"open only\n"
    "Mixed=\"mixed'\n"
    "InnerQuote=say \"hi\"\n"
    "Empty=\n"
    "Blank=    \n"
    "Eq=a=b\n"
    "Dup=first\n"
    "Dup=second\n"
    "\tTabbed\t=\ttab value\t\n"
    ";Commented=hidden\n"
    "NoEquals\n"
    "[alpha]\n"
    "OnlyInSecond=second section\n"
    "Key1=from second\n"
    "[ Spaced Section ]\n"
    "k=v\n"
    "[Unclosed\n"
    "u=1\n"
    "[Beta]\n"
    "Key1=beta\n"
    "Last=no line feed";

// The text with each LF replaced by the given line end.
std::string WithLineEnds(const std::string& text, const char* szLineEnd) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += szLineEnd;
        } else {
            result += c;
        }
    }
    return result;
}

// UTF-16 text with its byte-order mark, from UTF-16 code units.
std::string Utf16(const std::u16string& text, bool bBigEndian = false) {
    std::string result = bBigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        char low = static_cast<char>(unit & 0xFF);
        char high = static_cast<char>(unit >> 8);
        result += bBigEndian ? high : low;
        result += bBigEndian ? low : high;
    }
    return result;
}

std::u16string Widened(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

struct SCase {
    const char* szSection;
    const char* szKey;
    const char* szDefault;
    DWORD nSize;
    const char* szExpected;
};

// Every case's expected result; the return value is always the length of the text copied.
const SCase kCases[] = {
    {"Alpha", "Key1", "dflt", 64, "plain"},
    {"ALPHA", "key1", "dflt", 64, "plain"},
    {"Alpha", "Spaced Key", "dflt", 64, "padded value"},
    {"Alpha", "Quoted", "dflt", 64, "  inside quotes  "},
    {"Alpha", "Single", "dflt", 64, "single"},
    {"Alpha", "OpenQuote", "dflt", 64, "\"open only"},
    {"Alpha", "Mixed", "dflt", 64, "\"mixed'"},
    {"Alpha", "InnerQuote", "dflt", 64, "say \"hi\""},
    {"Alpha", "Empty", "dflt", 64, ""},
    {"Alpha", "Blank", "dflt", 64, ""},
    {"Alpha", "Eq", "dflt", 64, "a=b"},
    {"Alpha", "Dup", "dflt", 64, "first"},
    {"Alpha", "Tabbed", "dflt", 64, "tab value"},
    // A comment line is a line like any other: only a key named with the ';' finds it.
    {"Alpha", "Commented", "dflt", 64, "dflt"},
    {"Alpha", ";Commented", "dflt", 64, "hidden"},
    // A line without '=' has no value, and a section header without ']' opens no section.
    {"Alpha", "NoEquals", "dflt", 64, "dflt"},
    {"Unclosed", "u", "dflt", 64, "dflt"},
    // Empty names match nothing.
    {"", "Key1", "dflt", 64, "dflt"},
    {"Alpha", "", "dflt", 64, "dflt"},
    {"Alpha", "Missing", "dflt", 64, "dflt"},
    {"Alpha", "Missing", "dflt   ", 64, "dflt"},
    {"Alpha", "Missing", "  lead", 64, "  lead"},
    {"Alpha", "Missing", nullptr, 64, ""},
    {"Spaced Section", "k", "dflt", 64, "v"},
    {"Beta", "Key1", "dflt", 64, "beta"},
    {"Beta", "Last", "dflt", 64, "no line feed"},
    {"Gamma", "Key1", "dflt", 64, "dflt"},
    // Values and defaults longer than the buffer are cut to size - 1 and terminated.
    {"Alpha", "Key1", "dflt", 3, "pl"},
    {"Alpha", "Key1", "dflt", 1, ""},
    {"Alpha", "Spaced Key", "dflt", 7, "padded"},
    {"Alpha", "Missing", "default", 4, "def"},
    {"Alpha", "Quoted", "dflt", 5, "  in"},
    {"Alpha", "Quoted", "dflt", 19, "  inside quotes  "},
    {"Alpha", "Single", "dflt", 3, "si"},
};

void ExpectCase(const std::string& file, const SCase& c) {
    SCOPED_TRACE(testing::Message()
                 << "[" << c.szSection << "] " << c.szKey << " size " << c.nSize);
    char szBuffer[128];
    memset(szBuffer, '#', sizeof(szBuffer));
    DWORD nResult = GetPrivateProfileStringA(c.szSection, c.szKey, c.szDefault, szBuffer, c.nSize,
                                             file.c_str());
    EXPECT_STREQ(szBuffer, c.szExpected);
    EXPECT_EQ(nResult, strlen(c.szExpected));
    EXPECT_EQ(szBuffer[c.nSize], '#') << "written past the buffer";
}

// The same text, whatever its line ends and whether it is saved as bytes or as UTF-16.
TEST(ProfileReader, ReadsValuesAsWindowsDoes) {
    CTempDir dir;
    const std::string files[] = {
        dir.Write("lf.ini", kIniText),
        dir.Write("crlf.ini", WithLineEnds(kIniText, "\r\n")),
        dir.Write("cr.ini", WithLineEnds(kIniText, "\r")),
        dir.Write("utf16le.ini", Utf16(Widened(WithLineEnds(kIniText, "\r\n")))),
        dir.Write("utf16be.ini", Utf16(Widened(kIniText), true)),
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        for (const SCase& c : kCases) {
            ExpectCase(file, c);
        }
    }
}

// Text beyond ASCII in UTF-16 reads as the same text saved as UTF-8 with its mark: both give
// the narrow text of the platform (the ANSI code page on Windows, UTF-8 on POSIX). A surrogate
// without its partner cannot be shown in either and reads as '?'.
TEST(ProfileReader, Utf16TextReadsAsTheSameTextInUtf8) {
    CTempDir dir;
    std::string utf16 =
        dir.Write("utf16.ini", Utf16(u"[S]\r\nlatin=\u00E9t\u00E9\r\nwide=\u4E2D|\U0001F600|\r\n"
                                     u"lone=\xD800x\r\n"));
    std::string utf8 = dir.Write(
        "utf8.ini",
        "\xEF\xBB\xBF[S]\nlatin=\xC3\xA9t\xC3\xA9\nwide=\xE4\xB8\xAD|\xF0\x9F\x98\x80|\n");
    for (const char* szKey : {"latin", "wide"}) {
        char szFromUtf16[64] = "";
        char szFromUtf8[64] = "";
        GetPrivateProfileStringA("S", szKey, "", szFromUtf16, sizeof(szFromUtf16), utf16.c_str());
        GetPrivateProfileStringA("S", szKey, "", szFromUtf8, sizeof(szFromUtf8), utf8.c_str());
        EXPECT_STREQ(szFromUtf16, szFromUtf8) << szKey;
        EXPECT_GE(strlen(szFromUtf16), 3u) << szKey;
    }
    ExpectCase(utf16, {"S", "lone", "dflt", 64, "?x"});
}

// Only the first section of a name is read, and a key found only in a later one is missing.
TEST(ProfileReader, FirstSectionOfANameWins) {
    CTempDir dir;
    std::string file = dir.Write("dup.ini", kIniText);
    ExpectCase(file, {"alpha", "Key1", "dflt", 64, "plain"});
    ExpectCase(file, {"alpha", "OnlyInSecond", "dflt", 64, "dflt"});
}

// A bare file name means the Windows directory, never the current one: a file of that name in
// the current directory is not read.
TEST(ProfileReader, MissingFileGivesTheDefault) {
    CTempDir dir;
    ExpectCase(dir.File("absent.ini"), {"Alpha", "Key1", "dflt  ", 64, "dflt"});
    ExpectCase(dir.File("no\\such\\folder\\x.ini"), {"Alpha", "Key1", nullptr, 64, ""});
    ExpectCase("", {"Alpha", "Key1", "dflt", 64, "dflt"});

    dir.Write("mirel-bare-name.ini", kIniText);
    std::filesystem::path previous = std::filesystem::current_path();
    SetCurrentFolder(dir.Path());
    ExpectCase("mirel-bare-name.ini", {"Alpha", "Key1", "dflt", 64, "dflt"});
    std::filesystem::current_path(previous);
}

// Only a file is read: a folder, and a device that would never end, read as missing at once.
TEST(ProfileReader, WhatIsNotAFileReadsAsMissing) {
    CTempDir dir;
    ExpectCase(dir.Path(), {"S", "k", "dflt", 64, "dflt"});
    ExpectCase("Z:\\dev\\zero", {"S", "k", "dflt", 64, "dflt"});
}

// Paths are resolved as text before the file system sees them, as GetFullPathName does: "."
// goes, ".." takes the name before it along even where that name leads nowhere, separators
// that repeat count once, the last name loses trailing dots and blanks and a folder name one
// trailing dot, and ".." never climbs above the root.
TEST(ProfileReader, PathsAreResolvedAsText) {
    CTempDir dir;
    dir.Write("d\\x.ini", "[S]\nk=found\n");
    const std::string drive = dir.Path().substr(0, 2);
    const std::string spellings[] = {
        dir.File("d\\no-such\\..\\x.ini"),
        dir.File("d\\x.ini\\..\\x.ini"),
        dir.File("d\\.\\x.ini"),
        dir.File("d\\\\x.ini"),
        dir.File("d/x.ini"),
        dir.File("d\\x.ini."),
        dir.File("d\\x.ini. ."),
        dir.File("d.\\x.ini"),
        dir.File("d\\...\\..\\x.ini"),
        dir.File("no-such\\..\\d\\x.ini"),
        drive + "\\..\\..\\.." + dir.Path().substr(2) + "\\d\\x.ini",
    };
    for (const std::string& path : spellings) {
        SCOPED_TRACE(path);
        ExpectCase(path, {"S", "k", "dflt", 64, "found"});
    }
    // Blanks stay in folder names.
    ExpectCase(dir.File("d \\x.ini"), {"S", "k", "dflt", 64, "dflt"});
}

TEST(ProfileReader, ZeroSizeLeavesTheBufferAlone) {
    CTempDir dir;
    std::string file = dir.Write("z.ini", kIniText);
    char szBuffer[8] = "kumquat";
    EXPECT_EQ(GetPrivateProfileStringA("Alpha", "Key1", "dflt", szBuffer, 0, file.c_str()), 0u);
    EXPECT_STREQ(szBuffer, "kumquat");
}

// Relative paths with a folder are taken from the current directory, as Windows does.
TEST(ProfileReader, RelativePathIsTakenFromTheCurrentDirectory) {
    CTempDir dir;
    dir.Write("sub\\rel.ini", "[S]\nk=relative\n");
    std::filesystem::path previous = std::filesystem::current_path();
    SetCurrentFolder(dir.Path());
    ExpectCase("sub\\rel.ini", {"S", "k", "dflt", 64, "relative"});
    std::filesystem::current_path(previous);
}

// Lines far longer than any buffer are read through without harm: a huge value is cut to the
// buffer, and huge keys and section names before the wanted key are skipped.
TEST(ProfileReader, HugeLinesAreCutOrSkipped) {
    CTempDir dir;
    std::string huge(1 << 20, 'v');
    std::string text = "[" + std::string(1 << 20, 's') + "]\nk=wrong section\n" + "[S]\n" +
                       std::string(1 << 20, 'k') + "\n" + std::string(1 << 20, 'k') + "=ignored\n" +
                       "big=" + huge + "\n" + "k=found\n";
    std::string file = dir.Write("huge.ini", text);
    ExpectCase(file, {"S", "k", "dflt", 64, "found"});
    ExpectCase(file, {"S", "big", "dflt", 100, std::string(99, 'v').c_str()});
    std::string wide(1 << 20, '\0');
    DWORD nResult = GetPrivateProfileStringA("S", "big", "", &wide[0],
                                             static_cast<DWORD>(wide.size()), file.c_str());
    EXPECT_EQ(nResult, (1u << 20) - 1);
    EXPECT_EQ(wide.substr(0, nResult), huge.substr(0, nResult));
}

}  // namespace
