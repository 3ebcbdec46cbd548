#include <cstring>

#include "graphics_objects.h"
#include "mesh.h"
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

    // The transform is already transposed: its sixteen floats in storage order are the
    // shader's column-major matrix. A failed map keeps the previous frame's matrix.
    D3D11_MAPPED_SUBRESOURCE mapped;
    if (constantBuffer && SUCCEEDED(deviceContext->Map(constantBuffer.Get(), 0,
                                                       D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        std::memcpy(mapped.pData, &frame.transform, sizeof(frame.transform));
        deviceContext->Unmap(constantBuffer.Get(), 0);
    }

    // Everything is bound anew each frame. An object whose creation failed binds nothing,
    // and the frame shows the background alone.
    const UINT stride = sizeof(MeshVertex);  // 28
    const UINT offset = 0;
    deviceContext->VSSetConstantBuffers(0, 1, constantBuffer.GetAddressOf());
    deviceContext->VSSetShader(vertexShader.Get(), nullptr, 0);
    deviceContext->PSSetShader(pixelShader.Get(), nullptr, 0);
    deviceContext->IASetInputLayout(inputLayout.Get());
    deviceContext->IASetVertexBuffers(0, 1, vertexBuffer.GetAddressOf(), &stride, &offset);
    deviceContext->IASetIndexBuffer(indexBuffer.Get(), DXGI_FORMAT_R32_UINT, 0);
    deviceContext->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    // A prefix of the index list: the reveal order is the list's storage order. Issued
    // also when the count is 0, but never without an index buffer to read or a vertex
    // shader to run: Direct3D drops such a draw as invalid, and some drivers do not
    // survive it.
    if (indexBuffer && vertexShader) {
        deviceContext->DrawIndexed(frame.indexCount, 0, 0);
    }

    // Waits for the vertical blank, which paces the frame loop. Fails harmlessly once the
    // window is gone.
    swapChain->Present(1, 0);
}
