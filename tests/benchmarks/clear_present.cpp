// The frame-rate benchmark's baseline: the demo's window, device and loop, but each frame
// only clears the targets and presents. The demo's own frames over this program's, in
// the same setting, is the cost of drawing the mesh.
#include <windows.h>

#include <chrono>

#include "graphics_objects.h"
#include "render.h"

namespace {

LRESULT CALLBACK BaselineWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_KEYDOWN && wParam == VK_ESCAPE) {
        DestroyWindow(window);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace GraphicsObjects;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = BaselineWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"BASELINE";
    RegisterClassW(&windowClass);
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HWND window = CreateWindowExW(0, L"BASELINE", L"clear and present", WS_POPUP | WS_VISIBLE, 0, 0,
                                  width, height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr || !InitDevice(window, width, height)) {
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    const float color[4] = {0.2f, 0.3f, 0.45f, 1.0f};
    MSG message = {};
    for (;;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return 0;
            }
            DispatchMessageW(&message);
        }
        deviceContext->ClearRenderTargetView(renderTargetView.Get(), color);
        deviceContext->ClearDepthStencilView(depthStencilView.Get(), D3D11_CLEAR_DEPTH, 1.0f, 0);
        swapChain->Present(1, 0);
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(59'900)) {
            DestroyWindow(window);
        }
    }
}
