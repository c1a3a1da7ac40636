// The POSIX debugger output: where OutputDebugStringA writes by default and under the
// MIREL_DEBUG_OUTPUT variable, that concurrent lines arrive whole, that swapping the sink is
// safe while other threads write, and DebugBreak's carry-on behaviour without a debugger.
//
// The destination is chosen once per process, so each setting of the variable is tried in a
// child: this program runs itself again with the child test selected, and reads what it wrote.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix_extensions.h"
#include "platform/windows_api.h"
#include "platform/debug_capture.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

constexpr char kChildVariable[] = "MIREL_TEST_DEBUG_OUTPUT_CHILD";
constexpr int kThreads = 8;
constexpr int kLinesPerThread = 200;

// Line i of thread t: "T<t> L<i> " and a run of one letter whose length depends on i, some far
// longer than the system writes to a pipe in one piece.
std::string TestLine(int nThread, int nLine) {
    size_t nPayload = static_cast<size_t>(nLine * 397) % 9000;
    return "T" + std::to_string(nThread) + " L" + std::to_string(nLine) + " " +
           std::string(nPayload, static_cast<char>('a' + nThread)) + "\n";
}

void WriteTestLinesFromThreads() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                OutputDebugStringA(TestLine(t, i).c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Every test line must stand whole on a line of its own, each exactly once.
void ExpectAllTestLinesWhole(const std::string& text) {
    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kLinesPerThread, 0));
    std::istringstream in(text);
    std::string line;
    int nBad = 0;
    while (std::getline(in, line)) {
        int nThread = -1;
        int nLine = -1;
        if (sscanf(line.c_str(), "T%d L%d ", &nThread, &nLine) != 2 || nThread < 0 ||
            nThread >= kThreads || nLine < 0 || nLine >= kLinesPerThread ||
            line + "\n" != TestLine(nThread, nLine)) {
            if (++nBad <= 3) {
                ADD_FAILURE() << "broken line: " << line.substr(0, 80);
            }
            continue;
        }
        ++seen[nThread][nLine];
    }
    EXPECT_EQ(nBad, 0);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLinesPerThread; ++i) {
            EXPECT_EQ(seen[t][i], 1) << "thread " << t << " line " << i;
        }
    }
}

struct ChildResult {
    int nExitCode = -1;
    std::string stderrText;
};

// Runs the child test of this program with MIREL_DEBUG_OUTPUT set to szSetting (or unset for
// null) and collects its standard error.
ChildResult RunChild(const char* szSetting) {
    std::vector<std::string> environment;
    for (char** p = environ; *p != nullptr; ++p) {
        if (strncmp(*p, "MIREL_DEBUG_OUTPUT=", 19) != 0) {
            environment.push_back(*p);
        }
    }
    environment.push_back(std::string(kChildVariable) + "=1");
    if (szSetting != nullptr) {
        environment.push_back(std::string("MIREL_DEBUG_OUTPUT=") + szSetting);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=DebugOutputChild.*";
    char* argv[] = {&program[0], &filter[0], nullptr};

    ChildResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int nSpawn = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (nSpawn == 0) {
        char buffer[65536];
        ssize_t nRead;
        while ((nRead = read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
            result.stderrText.append(buffer, static_cast<size_t>(nRead));
        }
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        result.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
    close(pipeFds[0]);
    return result;
}

std::string ReadFile(const std::string& windowsPath) {
    std::string native = windowsPath.substr(2);
    for (char& c : native) {
        if (c == '\\')
            c = '/';
    }
    std::ifstream in(native, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The child's part: only runs when started by RunChild.
TEST(DebugOutputChild, WriteLinesFromThreads) {
    if (getenv(kChildVariable) == nullptr) {
        GTEST_SKIP() << "runs only as the child of the tests below";
    }
    WriteTestLinesFromThreads();
}

TEST(DebugOutput, DefaultIsStandardErrorWithLinesWhole) {
    ChildResult child = RunChild(nullptr);
    ASSERT_EQ(child.nExitCode, 0);
    ExpectAllTestLinesWhole(child.stderrText);
}

TEST(DebugOutput, FileNamedTheWindowsOrThePosixWayGetsLinesWhole) {
    CTempDir dir;
    std::string windowsPath = dir.File("debug.log");
    ChildResult first = RunChild(windowsPath.c_str());
    ASSERT_EQ(first.nExitCode, 0);
    EXPECT_EQ(first.stderrText, "");
    std::string firstText = ReadFile(windowsPath);
    ExpectAllTestLinesWhole(firstText);

    // A second run appends to the same file.
    std::string posixPath = windowsPath.substr(2);
    for (char& c : posixPath) {
        if (c == '\\')
            c = '/';
    }
    ChildResult second = RunChild(posixPath.c_str());
    ASSERT_EQ(second.nExitCode, 0);
    std::string bothText = ReadFile(windowsPath);
    EXPECT_EQ(bothText.size(), 2 * firstText.size());
    EXPECT_EQ(bothText.substr(0, firstText.size()), firstText);
}

TEST(DebugOutput, OffOrNoneSilences) {
    for (const char* szSetting : {"off", "none", "OFF"}) {
        ChildResult child = RunChild(szSetting);
        EXPECT_EQ(child.nExitCode, 0) << szSetting;
        EXPECT_EQ(child.stderrText, "") << szSetting;
    }
}

// A file that cannot be opened is reported once, and the lines still reach standard error.
TEST(DebugOutput, UnopenableFileFallsBackToStandardError) {
    CTempDir dir;
    std::string missingFolder = dir.File("no-such-folder\\debug.log");
    ChildResult child = RunChild(missingFolder.c_str());
    ASSERT_EQ(child.nExitCode, 0);
    size_t nNotice = child.stderrText.find("MIREL_DEBUG_OUTPUT");
    ASSERT_NE(nNotice, std::string::npos);
    size_t nNoticeEnd = child.stderrText.find('\n', nNotice);
    ExpectAllTestLinesWhole(child.stderrText.substr(nNoticeEnd + 1));
}

TEST(DebugOutput, SinkGetsEachStringAsOneCallAndNullIsIgnored) {
    CDebugCapture capture;
    OutputDebugStringA("first line\n");
    OutputDebugStringA(nullptr);
    OutputDebugStringA("Mirel[Error]: ComponentID=795 CreatorID=3");
    OutputDebugStringA("");
    std::vector<std::string> expected = {"first line\n",
                                         "Mirel[Error]: ComponentID=795 CreatorID=3", ""};
    EXPECT_EQ(capture.Lines(), expected);
}

struct CountingSink {
    std::atomic<int> nInside{0};
    std::atomic<long> nLines{0};
};

void CountLine(const char* /*szLine*/, void* pContext) {
    auto* pSink = static_cast<CountingSink*>(pContext);
    ++pSink->nInside;
    ++pSink->nLines;
    --pSink->nInside;
}

// Swapping the sink while other threads write: every line reaches exactly one sink, and once
// the swap has returned the previous sink is no longer running, so its owner may destroy it.
TEST(DebugOutput, SinkSwapIsSafeWhileOthersWrite) {
    CountingSink sinks[2];
    std::atomic<bool> bStop{false};
    std::atomic<long> nWritten{0};
    MirelSetDebugOutputSink(CountLine, &sinks[0]);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            while (!bStop) {
                OutputDebugStringA("swap test\n");
                ++nWritten;
            }
        });
    }
    int nStillRunning = 0;
    for (int i = 0; i < 2000; ++i) {
        CountingSink& previous = sinks[i % 2];
        MirelSetDebugOutputSink(CountLine, &sinks[(i + 1) % 2]);
        if (previous.nInside != 0) {
            ++nStillRunning;
        }
    }
    bStop = true;
    for (std::thread& writer : writers) {
        writer.join();
    }
    MirelSetDebugOutputSink(nullptr, nullptr);
    EXPECT_EQ(nStillRunning, 0);
    EXPECT_EQ(sinks[0].nLines + sinks[1].nLines, nWritten.load());
}

bool IsTraced() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 10, "TracerPid:") == 0) {
            return atoi(line.c_str() + 10) != 0;
        }
    }
    return false;
}

// Without a debugger, DebugBreak reports on the debugger output and the caller carries on.
TEST(DebugBreakPosix, WithoutDebuggerWritesOneLineAndReturns) {
    if (IsTraced()) {
        GTEST_SKIP() << "a debugger is attached: DebugBreak would stop in it";
    }
    CDebugCapture capture;
    DebugBreak();
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("DebugBreak: ", 0), 0u);
    EXPECT_EQ(lines[0].back(), '\n');
}

}  // namespace
