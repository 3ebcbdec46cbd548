// The device set-up and the frame on Wine's Direct3D 11, in windows of this test's own.
#include <gtest/gtest.h>

#include "graphics_objects.h"
#include "render.h"

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

TEST(InitDevice, BindsScreenSizedTargetsViewportAndDepthOnce) {
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

TEST(InitDevice, RunsWithoutDepthWhenTheDepthBufferCannotBeMade) {
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

    // Frames go on with the colour target alone.
    for (const float t : {31.0f, 31.016f, 45.0f}) {
        RenderFrame(window, t);
    }
    EXPECT_FALSE(depthStencilView);
    DestroyWindow(window);
}

TEST(RenderFrame, GoesOnAfterTheWindowIsDestroyed) {
    HWND window = MakePopup(320, 200);
    ASSERT_TRUE(InitDevice(window, 320, 200));
    RenderFrame(window, 59.9f);
    ASSERT_TRUE(DestroyWindow(window));
    // The last pass of every run: the window is gone, its client rectangle cannot be read
    // and the present fails; the frame must still complete.
    RECT client;
    ASSERT_FALSE(GetClientRect(window, &client));
    RenderFrame(window, 59.916f);
    RenderFrame(window, 59.933f);
}

}  // namespace
