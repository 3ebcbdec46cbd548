// The device set-up and the frame on Wine's Direct3D 11, in windows of this test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "graphics_objects.h"
#include "mesh.h"
#include "render.h"
#include "timeline.h"

namespace {

using Microsoft::WRL::ComPtr;
using namespace GraphicsObjects;

HWND MakePopup(int width, int height) {
    static const ATOM windowClass = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"DEVICETEST";
        return RegisterClassW(&wc);
    }();
    EXPECT_NE(windowClass, 0);
    return CreateWindowExW(0, L"DEVICETEST", L"device test", WS_POPUP | WS_VISIBLE, 0, 0, width,
                           height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// The frame routine keeps one timeline for the whole process. Every frame of these tests
// moves the time on and is worked out on a timeline of the test's own as well.
TimelineState mirror;
float seconds = 0.0f;

FrameParameters Frame(HWND window, int width, int height) {
    seconds += 0.25f;
    RenderFrame(window, seconds);
    return AdvanceTimeline(mirror, seconds, width, height);
}

// The transform constant as the vertex stage sees it, read back through a staging copy.
Float4x4 TransformOnTheDevice() {
    D3D11_BUFFER_DESC desc = {};
    desc.ByteWidth = sizeof(Float4x4);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Buffer> staging;
    EXPECT_EQ(device->CreateBuffer(&desc, nullptr, staging.GetAddressOf()), S_OK);
    deviceContext->CopyResource(staging.Get(), constantBuffer.Get());
    Float4x4 transform = {};
    D3D11_MAPPED_SUBRESOURCE mapped;
    EXPECT_EQ(deviceContext->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), S_OK);
    std::memcpy(&transform, mapped.pData, sizeof(transform));
    deviceContext->Unmap(staging.Get(), 0);
    return transform;
}

bool SameBits(const Float4x4& a, const Float4x4& b) {
    return std::memcmp(&a, &b, sizeof(Float4x4)) == 0;
}

// The primitives that the input assembler read while one frame ran, and that frame.
std::pair<UINT64, FrameParameters> PrimitivesOfOneFrame(HWND window, int width, int height) {
    const D3D11_QUERY_DESC desc = {D3D11_QUERY_PIPELINE_STATISTICS, 0};
    ComPtr<ID3D11Query> query;
    EXPECT_EQ(device->CreateQuery(&desc, query.GetAddressOf()), S_OK);
    deviceContext->Begin(query.Get());
    const FrameParameters frame = Frame(window, width, height);
    deviceContext->End(query.Get());
    D3D11_QUERY_DATA_PIPELINE_STATISTICS statistics = {};
    while (deviceContext->GetData(query.Get(), &statistics, sizeof(statistics), 0) == S_FALSE) {
    }
    return {statistics.IAPrimitives, frame};
}

// Every test starts from the empty slots that the program starts from.
class Direct3D : public ::testing::Test {
protected:
    void SetUp() override {
        [](auto&... slot) { (slot.Reset(), ...); }(
            renderTargetView, swapChain, deviceContext, device, depthStencilState, depthStencilView,
            depthStencilTexture, inputLayout, pixelShader, vertexShader, indexBuffer, vertexBuffer,
            constantBuffer);
    }
};

TEST_F(Direct3D, InitDeviceBindsScreenSizedTargetsViewportAndDepthOnce) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HWND window = MakePopup(width, height);
    ASSERT_TRUE(InitDevice(window, width, height));
    EXPECT_EQ(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);

    DXGI_SWAP_CHAIN_DESC chain;
    swapChain->GetDesc(&chain);
    EXPECT_EQ(chain.BufferDesc.Width, static_cast<UINT>(width));
    EXPECT_EQ(chain.BufferDesc.Height, static_cast<UINT>(height));
    EXPECT_EQ(chain.BufferDesc.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(chain.SampleDesc.Count, 1u);
    EXPECT_EQ(chain.BufferCount, 1u);
    EXPECT_EQ(chain.OutputWindow, window);
    EXPECT_TRUE(chain.Windowed);
    EXPECT_EQ(chain.SwapEffect, DXGI_SWAP_EFFECT_DISCARD);

    ASSERT_TRUE(depthStencilTexture);
    D3D11_TEXTURE2D_DESC depth;
    depthStencilTexture->GetDesc(&depth);
    EXPECT_EQ(depth.Width, static_cast<UINT>(width));
    EXPECT_EQ(depth.Height, static_cast<UINT>(height));
    EXPECT_EQ(depth.Format, DXGI_FORMAT_D24_UNORM_S8_UINT);
    EXPECT_EQ(depth.BindFlags, static_cast<UINT>(D3D11_BIND_DEPTH_STENCIL));

    ComPtr<ID3D11RenderTargetView> boundTarget;
    ComPtr<ID3D11DepthStencilView> boundDepth;
    deviceContext->OMGetRenderTargets(1, boundTarget.GetAddressOf(), boundDepth.GetAddressOf());
    EXPECT_EQ(boundTarget.Get(), renderTargetView.Get());
    EXPECT_EQ(boundDepth.Get(), depthStencilView.Get());
    EXPECT_TRUE(boundDepth);

    UINT viewportCount = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
    D3D11_VIEWPORT viewports[D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE];
    deviceContext->RSGetViewports(&viewportCount, viewports);
    ASSERT_EQ(viewportCount, 1u);
    EXPECT_EQ(viewports[0].TopLeftX, 0.0f);
    EXPECT_EQ(viewports[0].TopLeftY, 0.0f);
    EXPECT_EQ(viewports[0].Width, static_cast<float>(width));
    EXPECT_EQ(viewports[0].Height, static_cast<float>(height));
    EXPECT_EQ(viewports[0].MinDepth, 0.0f);
    EXPECT_EQ(viewports[0].MaxDepth, 1.0f);

    ComPtr<ID3D11DepthStencilState> boundState;
    UINT stencilReference = 0;
    deviceContext->OMGetDepthStencilState(boundState.GetAddressOf(), &stencilReference);
    ASSERT_TRUE(boundState);
    EXPECT_EQ(boundState.Get(), depthStencilState.Get());
    EXPECT_EQ(stencilReference, 1u);
    D3D11_DEPTH_STENCIL_DESC state;
    boundState->GetDesc(&state);
    EXPECT_TRUE(state.DepthEnable);
    EXPECT_EQ(state.DepthWriteMask, D3D11_DEPTH_WRITE_MASK_ALL);
    EXPECT_EQ(state.DepthFunc, D3D11_COMPARISON_LESS);
    EXPECT_FALSE(state.StencilEnable);

    // Only the objects of the device set-up exist; the pipeline's slots are still empty.
    EXPECT_FALSE(constantBuffer || vertexBuffer || indexBuffer || vertexShader || pixelShader ||
                 inputLayout);

    DestroyWindow(window);
}

TEST_F(Direct3D, InitDeviceRunsWithoutDepthWhenTheDepthBufferCannotBeMade) {
    // A window without a client area asks for a depth buffer of 0 by 0, which the device
    // refuses; the back buffer still has the size it was given.
    HWND window = MakePopup(0, 0);
    ASSERT_TRUE(InitDevice(window, 640, 480));
    EXPECT_FALSE(depthStencilTexture);
    EXPECT_FALSE(depthStencilView);

    ComPtr<ID3D11RenderTargetView> boundTarget;
    ComPtr<ID3D11DepthStencilView> boundDepth;
    deviceContext->OMGetRenderTargets(1, boundTarget.GetAddressOf(), boundDepth.GetAddressOf());
    EXPECT_EQ(boundTarget.Get(), renderTargetView.Get());
    EXPECT_FALSE(boundDepth);

    // Frames go on with the colour target alone, and draw.
    CreatePipelineResources();
    const auto [primitives, frame] = PrimitivesOfOneFrame(window, 0, 0);
    ASSERT_GT(frame.indexCount, 2u);
    EXPECT_EQ(primitives, frame.indexCount / 3);
    DestroyWindow(window);
}

TEST_F(Direct3D, RenderFrameKeepsTheLastClientSizeOnceTheWindowIsDestroyed) {
    HWND window = MakePopup(320, 200);
    ASSERT_TRUE(InitDevice(window, 320, 200));
    CreatePipelineResources();
    Frame(window, 320, 200);
    EXPECT_TRUE(SameBits(TransformOnTheDevice(), ComposeTransform(mirror.spinAngle, 320, 200)));
    ASSERT_TRUE(DestroyWindow(window));
    // The last pass of every run: the window is gone, its client rectangle cannot be read
    // and the present fails; the frame still completes, with the size it had.
    RECT client;
    ASSERT_FALSE(GetClientRect(window, &client));
    for (int frame = 0; frame < 2; ++frame) {
        Frame(window, 320, 200);
        EXPECT_TRUE(SameBits(TransformOnTheDevice(), ComposeTransform(mirror.spinAngle, 320, 200)));
    }
}

D3D11_BUFFER_DESC DescriptionOf(ID3D11Buffer* buffer) {
    D3D11_BUFFER_DESC desc = {};
    buffer->GetDesc(&desc);
    return desc;
}

TEST_F(Direct3D, CreatePipelineResourcesFillsTheSixSlotsFromTheEmbeddedProgramsAndMesh) {
    HWND window = MakePopup(320, 200);
    ASSERT_TRUE(InitDevice(window, 320, 200));
    CreatePipelineResources();

    EXPECT_TRUE(vertexShader);
    EXPECT_TRUE(pixelShader);
    // Made only if the layout matches the vertex program's input signature.
    EXPECT_TRUE(inputLayout);

    ASSERT_TRUE(vertexBuffer);
    const D3D11_BUFFER_DESC vertices = DescriptionOf(vertexBuffer.Get());
    EXPECT_EQ(vertices.ByteWidth, MeshVertexCount * sizeof(MeshVertex));
    EXPECT_EQ(vertices.Usage, D3D11_USAGE_IMMUTABLE);
    EXPECT_EQ(vertices.BindFlags, static_cast<UINT>(D3D11_BIND_VERTEX_BUFFER));
    EXPECT_EQ(vertices.CPUAccessFlags, 0u);

    ASSERT_TRUE(indexBuffer);
    const D3D11_BUFFER_DESC indices = DescriptionOf(indexBuffer.Get());
    EXPECT_EQ(indices.ByteWidth, MeshIndexCount * sizeof(std::uint32_t));
    EXPECT_EQ(indices.Usage, D3D11_USAGE_IMMUTABLE);
    EXPECT_EQ(indices.BindFlags, static_cast<UINT>(D3D11_BIND_INDEX_BUFFER));

    ASSERT_TRUE(constantBuffer);
    const D3D11_BUFFER_DESC constants = DescriptionOf(constantBuffer.Get());
    EXPECT_EQ(constants.ByteWidth, 64u);
    EXPECT_EQ(constants.Usage, D3D11_USAGE_DYNAMIC);
    EXPECT_EQ(constants.BindFlags, static_cast<UINT>(D3D11_BIND_CONSTANT_BUFFER));
    EXPECT_EQ(constants.CPUAccessFlags, static_cast<UINT>(D3D11_CPU_ACCESS_WRITE));

    // A second call replaces each object with a fresh one.
    ID3D11Buffer* first = constantBuffer.Get();
    first->AddRef();
    CreatePipelineResources();
    EXPECT_NE(constantBuffer.Get(), first);
    EXPECT_EQ(first->Release(), 0u);  // the slot let go of the old buffer
    DestroyWindow(window);
}

TEST_F(Direct3D, RenderFrameBindsTheWholePipelineEveryFrame) {
    HWND window = MakePopup(320, 200);
    ASSERT_TRUE(InitDevice(window, 320, 200));
    CreatePipelineResources();
    // Bindings made by someone else between frames are replaced by the next frame.
    deviceContext->ClearState();
    Frame(window, 320, 200);

    ComPtr<ID3D11Buffer> boundConstants;
    deviceContext->VSGetConstantBuffers(0, 1, boundConstants.GetAddressOf());
    EXPECT_EQ(boundConstants.Get(), constantBuffer.Get());
    ComPtr<ID3D11VertexShader> boundVertexShader;
    deviceContext->VSGetShader(boundVertexShader.GetAddressOf(), nullptr, nullptr);
    EXPECT_EQ(boundVertexShader.Get(), vertexShader.Get());
    ComPtr<ID3D11PixelShader> boundPixelShader;
    deviceContext->PSGetShader(boundPixelShader.GetAddressOf(), nullptr, nullptr);
    EXPECT_EQ(boundPixelShader.Get(), pixelShader.Get());
    ComPtr<ID3D11InputLayout> boundLayout;
    deviceContext->IAGetInputLayout(boundLayout.GetAddressOf());
    EXPECT_EQ(boundLayout.Get(), inputLayout.Get());

    ComPtr<ID3D11Buffer> boundVertices;
    UINT stride = 0;
    UINT offset = 1;
    deviceContext->IAGetVertexBuffers(0, 1, boundVertices.GetAddressOf(), &stride, &offset);
    EXPECT_EQ(boundVertices.Get(), vertexBuffer.Get());
    EXPECT_EQ(stride, 28u);
    EXPECT_EQ(offset, 0u);
    ComPtr<ID3D11Buffer> boundIndices;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    deviceContext->IAGetIndexBuffer(boundIndices.GetAddressOf(), &format, &offset);
    EXPECT_EQ(boundIndices.Get(), indexBuffer.Get());
    EXPECT_EQ(format, DXGI_FORMAT_R32_UINT);
    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    deviceContext->IAGetPrimitiveTopology(&topology);
    EXPECT_EQ(topology, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    DestroyWindow(window);
}

TEST_F(Direct3D, RenderFrameGoesOnWithoutObjectsWhoseCreationFailed) {
    HWND window = MakePopup(320, 200);
    ASSERT_TRUE(InitDevice(window, 320, 200));

    // Without a constant buffer nothing is mapped, and the frame draws all the same.
    CreatePipelineResources();
    constantBuffer.Reset();
    auto [primitives, frame] = PrimitivesOfOneFrame(window, 320, 200);
    ASSERT_GT(frame.indexCount, 2u);
    EXPECT_EQ(primitives, frame.indexCount / 3);
    ComPtr<ID3D11Buffer> boundConstants;
    deviceContext->VSGetConstantBuffers(0, 1, boundConstants.GetAddressOf());
    EXPECT_FALSE(boundConstants);

    // Without an index buffer or a vertex shader nothing is drawn: Direct3D drops such a
    // draw, and Wine's Vulkan renderer aborts the process on a draw without the shader.
    for (void (*const reset)() : {+[] { indexBuffer.Reset(); }, +[] { vertexShader.Reset(); }}) {
        CreatePipelineResources();
        reset();
        std::tie(primitives, frame) = PrimitivesOfOneFrame(window, 320, 200);
        ASSERT_GT(frame.indexCount, 2u);
        EXPECT_EQ(primitives, 0u);
    }

    // Any other slot empty, and then all of them: the frame binds nothing in its place.
    void (*const resets[])() = {[] { vertexShader.Reset(); }, [] { pixelShader.Reset(); },
                                [] { inputLayout.Reset(); }, [] { vertexBuffer.Reset(); }};
    for (const auto reset : resets) {
        CreatePipelineResources();
        reset();
        Frame(window, 320, 200);
    }
    for (const auto reset : resets) {
        reset();
    }
    constantBuffer.Reset();
    indexBuffer.Reset();
    Frame(window, 320, 200);
    ComPtr<ID3D11VertexShader> boundShader;
    deviceContext->VSGetShader(boundShader.GetAddressOf(), nullptr, nullptr);
    EXPECT_FALSE(boundShader);
    DestroyWindow(window);
}

}  // namespace
