// The process entry, the window and the frame loop.
//
// One thread does everything: the window procedure runs inside the message calls of
// the loop, and every pass renders one frame whose presentation waits for the vertical
// blank. The program reports nothing but its exit code.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <chrono>

#include "render.h"
#include "timeline.h"

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            // Every end of the run comes through here: after 59.9 s, on Escape, on WM_CLOSE.
            PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) {
                // Each activation lowers the cursor's display counter by one, each
                // deactivation raises it again.
                ShowCursor(FALSE);
                RECT rect;
                GetWindowRect(window, &rect);  // screen coordinates: the whole screen
                ClipCursor(&rect);
            } else {
                ClipCursor(nullptr);
                ShowCursor(TRUE);
            }
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_ESCAPE) {
                DestroyWindow(window);
            }
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    WNDCLASSW windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = nullptr;  // every frame covers the client area
    windowClass.lpszClassName = L"MAIN";
    if (RegisterClassW(&windowClass) == 0) {
        return -1;
    }

    // The borderless window covers the primary screen, and the back buffer matches it.
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HWND window = CreateWindowExW(0, L"MAIN", L"zeltavo", WS_POPUP | WS_VISIBLE, 0, 0, width,
                                  height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 0;
    }

    if (!InitDevice(window, width, height)) {
        // Nothing can be shown without a device; leave at once.
        DestroyWindow(window);
        return 1;
    }
    CreatePipelineResources();
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // The track plays from the executable's own "WAVE" resource 101 while the frames run;
    // without an audio device the call fails and the picture runs the same.
    PlaySoundW(MAKEINTRESOURCEW(101), GetModuleHandleW(nullptr), SND_RESOURCE | SND_ASYNC);
    const auto clockStart = std::chrono::steady_clock::now();
    bool running = true;
    MSG message = {};
    while (running) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                running = false;  // this pass still renders; later messages stay queued
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }

        const std::chrono::nanoseconds sinceStart = std::chrono::steady_clock::now() - clockStart;
        const float elapsedSeconds = ElapsedSeconds(sinceStart.count());
        RenderFrame(window, elapsedSeconds);
        // Applied on every pass: after the window is gone the call fails harmlessly.
        if (IsRunOver(elapsedSeconds)) {
            DestroyWindow(window);
        }
    }
    return 0;
}
