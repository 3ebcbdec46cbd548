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
// the window, or the first FRAME_LIMIT of them. The exit codes are below; every one
// but 0 comes with one line on standard error that says what went wrong, and a film cut
// short by any of them is not a film of the run.
//
// ZELTAVO_CAPTURE_FAULT, which only the tests set, plants one fault so that each refusal
// can be seen: "refuse" drops the depth-stencil state after the set-up, "stale" leaves
// frame 2's constant buffer holding another transform, "stall" stops before frame 2
// without ending, and "crash" writes through a null pointer before frame 2.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "graphics_objects.h"
#include "render.h"
#include "timeline.h"

namespace {

using Microsoft::WRL::ComPtr;

// Exit codes. Wine hands a Linux parent the low 8 bits of a Windows exit code, and a
// process that dies of an exception exits with the exception's code: so that a crash
// never reads as one of these, none of them is the low byte of a common exception code
// (checked below), nor 3, the code of abort().
constexpr int kFilmed = 0;            // every frame was written
constexpr int kNoDevice = 81;         // no hidden window, no device at feature level 11_0
                                      // or no texture to draw into
constexpr int kBadArguments = 82;     // the usage line is printed
constexpr int kOutputClosed = 83;     // the reader of standard output went away
constexpr int kIncompleteSetUp = 84;  // an object the frame draws with was refused: the
                                      // frame routine would film the background alone or
                                      // the mesh without occlusion
constexpr int kStaleTransform = 85;   // the constant buffer does not hold the frame's
                                      // transform: the frame routine's Map of it failed
                                      // and the frame shows the previous frame's spin
constexpr int kFrameUnread = 86;      // the Map of a CPU-readable copy (of the frame or
                                      // of its constant buffer) failed
constexpr int kDeviceRemoved = 87;    // the device was removed or reset mid-run
constexpr int kCrashed = 88;          // an exception that nothing handled

constexpr bool NoExceptionAliases(std::initializer_list<int> codes) {
    // Access violation, breakpoint, single step, misalignment, guard page, in-page error,
    // invalid handle, no memory, illegal instruction, non-continuable exception, invalid
    // disposition, array bounds, the seven floating-point exceptions, integer division by
    // zero and overflow, privileged instruction, stack overflow, DLL not found, entry
    // point not found, Ctrl+C, DLL initialisation failed, heap corruption, stack buffer
    // overrun, invalid C runtime parameter, assertion failure and the C++ exception.
    constexpr unsigned long kExceptions[] = {
        0xC0000005, 0x80000003, 0x80000004, 0x80000002, 0x80000001, 0xC0000006, 0xC0000008,
        0xC0000017, 0xC000001D, 0xC0000025, 0xC0000026, 0xC000008C, 0xC000008D, 0xC000008E,
        0xC000008F, 0xC0000090, 0xC0000091, 0xC0000092, 0xC0000093, 0xC0000094, 0xC0000095,
        0xC0000096, 0xC00000FD, 0xC0000135, 0xC0000139, 0xC000013A, 0xC0000142, 0xC0000374,
        0xC0000409, 0xC0000417, 0xC0000420, 0xE06D7363, 3};
    for (const int code : codes) {
        for (const unsigned long exception : kExceptions) {
            if (static_cast<unsigned long>(code) == (exception & 0xFF)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(NoExceptionAliases({kNoDevice, kBadArguments, kOutputClosed, kIncompleteSetUp,
                                  kStaleTransform, kFrameUnread, kDeviceRemoved, kCrashed}),
              "an exit code that a crash can give as well");

// The fault that ZELTAVO_CAPTURE_FAULT plants, and the frame at which it strikes.
enum class Fault { kNone, kRefuse, kStale, kStall, kCrash };
constexpr std::int64_t kFaultFrame = 2;

Fault PlantedFault() {
    const char* name = std::getenv("ZELTAVO_CAPTURE_FAULT");
    const std::string fault = name != nullptr ? name : "";
    return fault == "refuse"  ? Fault::kRefuse
           : fault == "stale" ? Fault::kStale
           : fault == "stall" ? Fault::kStall
           : fault == "crash" ? Fault::kCrash
                              : Fault::kNone;
}

// The frame is drawn here instead of into the swap chain's buffer, and copied from here
// into memory the CPU can read.
ComPtr<ID3D11Texture2D> frameTarget;
ComPtr<ID3D11Texture2D> frameCopy;
// The constant buffer is dynamic, which the CPU cannot read: it is copied here to be
// compared with the transform that the frame should carry.
ComPtr<ID3D11Buffer> transformCopy;

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
    if (FAILED(device->CreateTexture2D(&copyDesc, nullptr, frameCopy.ReleaseAndGetAddressOf()))) {
        return false;
    }

    D3D11_BUFFER_DESC transformDesc = {};
    constantBuffer->GetDesc(&transformDesc);
    transformDesc.Usage = D3D11_USAGE_STAGING;
    transformDesc.BindFlags = 0;
    transformDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    return SUCCEEDED(
        device->CreateBuffer(&transformDesc, nullptr, transformCopy.ReleaseAndGetAddressOf()));
}

// The names of the objects that the set-up should have made and did not, comma
// separated, or an empty string. Without any of them the frame routine still draws,
// but not the run: without a shader, the layout or a buffer it shows the background
// alone, and without the depth buffer, its view or its state the mesh unoccluded.
std::string MissingObjects() {
    using namespace GraphicsObjects;

    const struct {
        bool present;
        const char* name;
    } objects[] = {
        {vertexShader != nullptr, "vertex shader"},
        {pixelShader != nullptr, "pixel shader"},
        {inputLayout != nullptr, "input layout"},
        {vertexBuffer != nullptr, "vertex buffer"},
        {indexBuffer != nullptr, "index buffer"},
        {constantBuffer != nullptr, "constant buffer"},
        {depthStencilTexture != nullptr, "depth buffer"},
        {depthStencilView != nullptr, "depth view"},
        {depthStencilState != nullptr, "depth-stencil state"},
    };
    std::string missing;
    for (const auto& object : objects) {
        if (!object.present) {
            missing += (missing.empty() ? "" : ", ") + std::string(object.name);
        }
    }
    return missing;
}

// An exception that nothing handled ends the capture with its own code and line, rather
// than with the exception's code, whose low byte could read as a refusal.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "frame_capture: crashed with exception 0x%08lX at %p\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode),
                 exception->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kCrashed);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The constant buffer made to hold another transform than the frame's, as when the frame
// routine's Map of it fails.
void OverwriteTransform() {
    using namespace GraphicsObjects;
    D3D11_MAPPED_SUBRESOURCE mapped;
    if (SUCCEEDED(
            deviceContext->Map(constantBuffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        std::memset(mapped.pData, 0, sizeof(Float4x4));
        deviceContext->Unmap(constantBuffer.Get(), 0);
    }
}

// Ends the capture with code after one line on standard error.
int Refuse(int code, const char* format, ...) {
    std::fputs("frame_capture: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    return code;
}

// kDeviceRemoved with its message if the device is gone, else kFilmed. A removed
// device fails every Map, so this is asked first when one fails.
int CheckDevice(std::int64_t frame) {
    const HRESULT reason = GraphicsObjects::device->GetDeviceRemovedReason();
    if (reason != S_OK) {
        return Refuse(kDeviceRemoved, "frame %lld: the device was removed (reason 0x%08lX)",
                      static_cast<long long>(frame), static_cast<unsigned long>(reason));
    }
    return kFilmed;
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

// Checks that the frame just drawn carries its own transform, copies it out of the
// texture, row by row without the padding a mapping may add, and writes it out whole.
// Returns kFilmed or the code that ends the capture.
int WriteFrame(HANDLE output, std::int64_t frame, const Float4x4& transform, int width, int height,
               std::vector<unsigned char>& pixels) {
    using namespace GraphicsObjects;

    deviceContext->CopyResource(transformCopy.Get(), constantBuffer.Get());
    deviceContext->CopyResource(frameCopy.Get(), frameTarget.Get());
    if (const int code = CheckDevice(frame); code != kFilmed) {
        return code;
    }

    D3D11_MAPPED_SUBRESOURCE mapped;
    // Waits until the device has finished the frame.
    if (FAILED(deviceContext->Map(transformCopy.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        if (const int code = CheckDevice(frame); code != kFilmed) {
            return code;
        }
        return Refuse(kFrameUnread, "frame %lld: the copy of the constant buffer cannot be read",
                      static_cast<long long>(frame));
    }
    const bool current = std::memcmp(mapped.pData, &transform, sizeof(transform)) == 0;
    deviceContext->Unmap(transformCopy.Get(), 0);
    if (!current) {
        return Refuse(kStaleTransform,
                      "frame %lld: the constant buffer does not hold the frame's transform "
                      "(the frame routine's Map of it failed)",
                      static_cast<long long>(frame));
    }

    const HRESULT result = deviceContext->Map(frameCopy.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(result)) {
        if (const int code = CheckDevice(frame); code != kFilmed) {
            return code;
        }
        return Refuse(kFrameUnread, "frame %lld: the staging texture cannot be read (0x%08lX)",
                      static_cast<long long>(frame), static_cast<unsigned long>(result));
    }
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int row = 0; row < height; ++row) {
        std::memcpy(pixels.data() + row * rowBytes,
                    static_cast<const unsigned char*>(mapped.pData) + row * mapped.RowPitch,
                    rowBytes);
    }
    deviceContext->Unmap(frameCopy.Get(), 0);
    if (!WriteAll(output, pixels.data(), pixels.size())) {
        return Refuse(kOutputClosed, "frame %lld: the output was closed",
                      static_cast<long long>(frame));
    }
    return kFilmed;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(ReportCrash);
    const Fault fault = PlantedFault();
    const int width = argc >= 4 ? PositiveNumber(argv[1]) : 0;
    const int height = argc >= 4 ? PositiveNumber(argv[2]) : 0;
    const int framesPerSecond = argc >= 4 ? PositiveNumber(argv[3]) : 0;
    const int frameLimit = argc == 5 ? PositiveNumber(argv[4]) : 0;
    if (argc < 4 || argc > 5 || width == 0 || height == 0 || framesPerSecond == 0 ||
        (argc == 5 && frameLimit == 0)) {
        std::fprintf(stderr, "usage: frame_capture WIDTH HEIGHT FRAMES_PER_SECOND [FRAME_LIMIT]\n");
        return kBadArguments;
    }

    HWND window = CreateHiddenWindow(width, height);
    // InitDevice sizes the depth buffer by the client area, and the timeline takes its
    // aspect ratio from it: both must be the texture's.
    RECT client = {};
    if (window == nullptr || !GetClientRect(window, &client) || client.right != width ||
        client.bottom != height) {
        return Refuse(kNoDevice, "no hidden window of %dx%d", width, height);
    }
    if (!InitDevice(window, width, height)) {
        return Refuse(kNoDevice, "no Direct3D 11 device at feature level 11_0");
    }
    CreatePipelineResources();
    if (fault == Fault::kRefuse) {
        GraphicsObjects::depthStencilState.Reset();
    }
    // The program runs on without what the device refused; a film of such a run would
    // look like a film of the demo and is not one.
    if (const std::string missing = MissingObjects(); !missing.empty()) {
        return Refuse(kIncompleteSetUp, "the device refused the %s; nothing filmed",
                      missing.c_str());
    }
    if (!RedirectFrames(width, height)) {
        return Refuse(kNoDevice, "no %dx%d texture to draw into", width, height);
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
    // The same timeline as the frame routine's, advanced alongside it with the same
    // moments and client size, gives the transform each frame must carry.
    TimelineState timeline;
    // The window stays: on the loop's last pass it is gone, and the frame routine keeps
    // the client size it read before, which is this window's size all the same.
    for (std::int64_t frame = 0; frame < frameCount; ++frame) {
        const float seconds = FrameSeconds(frame, framesPerSecond);
        if (frame == kFaultFrame && fault == Fault::kStall) {
            Sleep(INFINITE);
        }
        if (frame == kFaultFrame && fault == Fault::kCrash) {
            volatile int* volatile nowhere = nullptr;
            *nowhere = 0;
        }
        RenderFrame(window, seconds);
        if (frame == kFaultFrame && fault == Fault::kStale) {
            OverwriteTransform();
        }
        const FrameParameters expected = AdvanceTimeline(timeline, seconds, width, height);
        if (const int code = WriteFrame(output, frame, expected.transform, width, height, pixels);
            code != kFilmed) {
            return code;
        }
    }
    return kFilmed;
}
