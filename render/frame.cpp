#include "graphics_objects.h"
#include "render.h"
#include "timeline.h"

namespace {

TimelineState timeline;

// The client size of the last frame whose GetClientRect succeeded. The last pass of a
// run comes after the window is destroyed; the timeline then keeps the size it had.
LONG clientWidth = 0;
LONG clientHeight = 0;

}  // namespace

void RenderFrame(HWND window, float elapsedSeconds) {
    using namespace GraphicsObjects;

    RECT client;
    if (GetClientRect(window, &client)) {
        clientWidth = client.right - client.left;
        clientHeight = client.bottom - client.top;
    }
    const FrameParameters frame =
        AdvanceTimeline(timeline, elapsedSeconds, clientWidth, clientHeight);

    deviceContext->ClearRenderTargetView(renderTargetView.Get(), frame.backgroundColor.data());
    if (depthStencilView) {
        deviceContext->ClearDepthStencilView(depthStencilView.Get(), D3D11_CLEAR_DEPTH, 1.0f, 0);
    }

    // Waits for the vertical blank, which paces the frame loop. Fails harmlessly once the
    // window is gone.
    swapChain->Present(1, 0);
}
