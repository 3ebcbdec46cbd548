// Films the demo as an ideal display of a given refresh rate would show it: frame k at
// the elapsed time that the frame loop reads k refresh periods after its clock start,
// drawn by the program's own set-up and frame routine into a texture instead of the
// window, as slowly as the device needs, and written to standard output.
//
//     frame_capture WIDTH HEIGHT FRAMES_PER_SECOND [FRAME_LIMIT]
//
// Standard output carries the frames one after the other, each HEIGHT rows of WIDTH
// pixels, top row first, 4 bytes a pixel in the order R, G, B, A (8 bits each, the back
// buffer's own format), with nothing between them. Before the first frame one line on
// standard error gives their number: "frames N". The frames are those of a whole run,
// up to the first past 59.9 s and the one that the loop draws after it has destroyed
// the window, or the first FRAME_LIMIT of them. Exit code 0 when every frame was
// written, 1 without a device, 2 on bad arguments, 3 when the output was closed early.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "graphics_objects.h"
#include "render.h"
#include "timeline.h"

namespace {

using Microsoft::WRL::ComPtr;

// The frame is drawn here instead of into the swap chain's buffer, and copied from here
// into memory the CPU can read.
ComPtr<ID3D11Texture2D> frameTarget;
ComPtr<ID3D11Texture2D> frameCopy;

// A positive whole number, or 0.
int PositiveNumber(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value <= 1'000'000 ? static_cast<int>(value) : 0;
}

// The elapsed time that the frame loop reads at refresh k of a display with this rate:
// k periods after the clock start, in whole nanoseconds, which ElapsedSeconds truncates
// to whole milliseconds like every reading of the loop's clock.
float FrameSeconds(std::int64_t frame, int framesPerSecond) {
    return ElapsedSeconds(frame * 1'000'000'000 / framesPerSecond);
}

// How many passes the frame loop makes: every pass draws, the first pass past the end
// of the run destroys the window, and the pass that then takes the quit message still
// draws.
std::int64_t RunFrameCount(int framesPerSecond) {
    std::int64_t frame = 0;
    while (!IsRunOver(FrameSeconds(frame, framesPerSecond))) {
        ++frame;
    }
    return frame + 2;
}

HWND CreateHiddenWindow(int width, int height) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CAPTURE";
    RegisterClassW(&windowClass);
    // Never shown: the swap chain needs a window, and the frame routine reads the
    // timeline's aspect ratio from its client area, which for a popup is all of it.
    return CreateWindowExW(0, L"CAPTURE", L"zeltavo capture", WS_POPUP, 0, 0, width, height,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// Puts a view of a texture of the window's size into the render-target slot and binds
// it with the depth view of InitDevice, as InitDevice bound the back buffer's view. The
// frame routine clears the view in that slot and draws into what is bound, so it draws
// into the texture from now on; the viewport and depth buffer already have its size.
bool RedirectFrames(int width, int height) {
    using namespace GraphicsObjects;

    D3D11_TEXTURE2D_DESC targetDesc = {};
    targetDesc.Width = static_cast<UINT>(width);
    targetDesc.Height = static_cast<UINT>(height);
    targetDesc.MipLevels = 1;
    targetDesc.ArraySize = 1;
    targetDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;  // the swap chain's format
    targetDesc.SampleDesc = {1, 0};                  // no multisampling, like the back buffer
    targetDesc.Usage = D3D11_USAGE_DEFAULT;
    targetDesc.BindFlags = D3D11_BIND_RENDER_TARGET;
    if (FAILED(
            device->CreateTexture2D(&targetDesc, nullptr, frameTarget.ReleaseAndGetAddressOf())) ||
        FAILED(device->CreateRenderTargetView(frameTarget.Get(), nullptr,
                                              renderTargetView.ReleaseAndGetAddressOf()))) {
        return false;
    }
    deviceContext->OMSetRenderTargets(1, renderTargetView.GetAddressOf(), depthStencilView.Get());

    D3D11_TEXTURE2D_DESC copyDesc = targetDesc;
    copyDesc.Usage = D3D11_USAGE_STAGING;
    copyDesc.BindFlags = 0;
    copyDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    return SUCCEEDED(
        device->CreateTexture2D(&copyDesc, nullptr, frameCopy.ReleaseAndGetAddressOf()));
}

// Writes all of the bytes, or fails once the reader has gone.
bool WriteAll(HANDLE output, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(output, bytes, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// Copies the frame just drawn out of the texture, row by row without the padding a
// mapping may add, and writes it out whole.
bool WriteFrame(HANDLE output, int width, int height, std::vector<unsigned char>& pixels) {
    using namespace GraphicsObjects;

    deviceContext->CopyResource(frameCopy.Get(), frameTarget.Get());
    D3D11_MAPPED_SUBRESOURCE mapped;
    // Waits until the device has finished the frame.
    if (FAILED(deviceContext->Map(frameCopy.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        return false;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int row = 0; row < height; ++row) {
        std::memcpy(pixels.data() + row * rowBytes,
                    static_cast<const unsigned char*>(mapped.pData) + row * mapped.RowPitch,
                    rowBytes);
    }
    deviceContext->Unmap(frameCopy.Get(), 0);
    return WriteAll(output, pixels.data(), pixels.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int width = argc >= 4 ? PositiveNumber(argv[1]) : 0;
    const int height = argc >= 4 ? PositiveNumber(argv[2]) : 0;
    const int framesPerSecond = argc >= 4 ? PositiveNumber(argv[3]) : 0;
    const int frameLimit = argc == 5 ? PositiveNumber(argv[4]) : 0;
    if (argc < 4 || argc > 5 || width == 0 || height == 0 || framesPerSecond == 0 ||
        (argc == 5 && frameLimit == 0)) {
        std::fprintf(stderr, "usage: frame_capture WIDTH HEIGHT FRAMES_PER_SECOND [FRAME_LIMIT]\n");
        return 2;
    }

    HWND window = CreateHiddenWindow(width, height);
    // InitDevice sizes the depth buffer by the client area, and the timeline takes its
    // aspect ratio from it: both must be the texture's.
    RECT client = {};
    if (window == nullptr || !GetClientRect(window, &client) || client.right != width ||
        client.bottom != height) {
        std::fprintf(stderr, "frame_capture: no hidden window of %dx%d\n", width, height);
        return 1;
    }
    if (!InitDevice(window, width, height)) {
        std::fprintf(stderr, "frame_capture: no Direct3D 11 device at feature level 11_0\n");
        return 1;
    }
    CreatePipelineResources();
    if (!RedirectFrames(width, height)) {
        std::fprintf(stderr, "frame_capture: no %dx%d texture to draw into\n", width, height);
        return 1;
    }

    std::int64_t frameCount = RunFrameCount(framesPerSecond);
    if (frameLimit > 0 && frameLimit < frameCount) {
        frameCount = frameLimit;
    }
    std::fprintf(stderr, "frames %lld\n", static_cast<long long>(frameCount));
    std::fflush(stderr);

    // Written with WriteFile: the C runtime's standard output would turn every byte 10
    // into 13 10.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    // The window stays: on the loop's last pass it is gone, and the frame routine keeps
    // the client size it read before, which is this window's size all the same.
    for (std::int64_t frame = 0; frame < frameCount; ++frame) {
        RenderFrame(window, FrameSeconds(frame, framesPerSecond));
        if (!WriteFrame(output, width, height, pixels)) {
            return 3;
        }
    }
    return 0;
}
