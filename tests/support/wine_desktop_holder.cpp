// Keeps the Wine session's desktop open while the tests run; started by cmake/wine-run.sh --start.
//
// Wine's server closes a desktop a second after its last user has gone, and the next program that
// needs a window starts the desktop's process again. ctest starts and ends window programs all the
// time, so that start-up would race the shutdown of the one before; under load a program caught in
// between waits ten seconds and then gets no window at all. One hidden window held for the whole
// session makes this program a user throughout: the desktop starts once, here, before any test.
//
// Usage: wine_desktop_holder <seconds>. It prints "desktop ready" once it has its window, then
// waits; the session's end stops it, and it leaves by itself after <seconds> in case no end comes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Wine gives up waiting for the desktop after ten seconds; a loaded machine may need a few of
// those.
constexpr int kWindowAttempts = 12;

HWND CreateHolderWindow() {
    for (int attempt = 1; attempt <= kWindowAttempts; ++attempt) {
        // Message-only, as the tests' windows are: the tests run without a display.
        HWND hWnd = CreateWindowExA(0, "STATIC", "wine desktop holder", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, GetModuleHandleA(nullptr), nullptr);
        if (hWnd != nullptr) {
            return hWnd;
        }
        std::printf("attempt %d: no window yet (error %lu)\n", attempt, GetLastError());
        std::fflush(stdout);
        Sleep(500);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    long lifetimeSeconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (lifetimeSeconds <= 0) {
        std::fprintf(stderr, "usage: wine_desktop_holder <seconds>\n");
        return 2;
    }
    HWND hWnd = CreateHolderWindow();
    if (hWnd == nullptr) {
        std::printf("no desktop after %d attempts\n", kWindowAttempts);
        return 1;
    }
    std::printf("desktop ready\n");
    std::fflush(stdout);

    SetTimer(nullptr, 0, static_cast<UINT>(lifetimeSeconds * 1000), nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) {
            break;
        }
        DispatchMessageA(&msg);
    }
    DestroyWindow(hWnd);
    return 0;
}
