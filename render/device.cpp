#include "graphics_objects.h"
#include "render.h"

bool InitDevice(HWND window, int width, int height) {
    using namespace GraphicsObjects;

    DXGI_SWAP_CHAIN_DESC swapChainDesc = {};
    swapChainDesc.BufferDesc.Width = width;
    swapChainDesc.BufferDesc.Height = height;
    swapChainDesc.BufferDesc.RefreshRate = {0, 0};  // the system's choice
    swapChainDesc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    swapChainDesc.BufferDesc.ScanlineOrdering = DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED;
    swapChainDesc.BufferDesc.Scaling = DXGI_MODE_SCALING_UNSPECIFIED;
    swapChainDesc.SampleDesc = {1, 0};  // no multisampling
    swapChainDesc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    // One buffer with the discard effect: buffer 0 is drawn into before every Present,
    // so one render-target view serves the whole run.
    swapChainDesc.BufferCount = 1;
    swapChainDesc.OutputWindow = window;
    swapChainDesc.Windowed = TRUE;  // the borderless window covers the screen instead
    swapChainDesc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    swapChainDesc.Flags = 0;
    const D3D_FEATURE_LEVEL featureLevels[] = {D3D_FEATURE_LEVEL_11_0};

    ID3D11DeviceContext** contextSlot = deviceContext.ReleaseAndGetAddressOf();
    ID3D11Device** deviceSlot = device.ReleaseAndGetAddressOf();
    IDXGISwapChain** swapChainSlot = swapChain.ReleaseAndGetAddressOf();
    D3D_FEATURE_LEVEL obtainedLevel;
    if (FAILED(D3D11CreateDeviceAndSwapChain(nullptr,  // default adapter
                                             D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                             0,  // no debug layer
                                             featureLevels, 1, D3D11_SDK_VERSION, &swapChainDesc,
                                             swapChainSlot, deviceSlot, &obtainedLevel,
                                             contextSlot))) {
        return false;
    }

    Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
    if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D),
                                    reinterpret_cast<void**>(backBuffer.GetAddressOf())))) {
        return false;
    }
    if (FAILED(device->CreateRenderTargetView(backBuffer.Get(), nullptr,
                                              renderTargetView.ReleaseAndGetAddressOf()))) {
        return false;
    }

    const D3D11_VIEWPORT viewport = {
        0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height), 0.0f, 1.0f};
    deviceContext->RSSetViewports(1, &viewport);

    // The depth buffer follows the client area, which for the screen-sized popup is the
    // back buffer's size.
    RECT client = {};
    GetClientRect(window, &client);
    D3D11_TEXTURE2D_DESC depthDesc = {};
    depthDesc.Width = static_cast<UINT>(client.right - client.left);
    depthDesc.Height = static_cast<UINT>(client.bottom - client.top);
    depthDesc.MipLevels = 1;
    depthDesc.ArraySize = 1;
    depthDesc.Format = DXGI_FORMAT_D24_UNORM_S8_UINT;
    depthDesc.SampleDesc = {1, 0};
    depthDesc.Usage = D3D11_USAGE_DEFAULT;
    depthDesc.BindFlags = D3D11_BIND_DEPTH_STENCIL;
    device->CreateTexture2D(&depthDesc, nullptr, depthStencilTexture.ReleaseAndGetAddressOf());
    depthStencilView.Reset();
    if (depthStencilTexture) {
        device->CreateDepthStencilView(depthStencilTexture.Get(), nullptr,
                                       depthStencilView.ReleaseAndGetAddressOf());
    }
    deviceContext->OMSetRenderTargets(1, renderTargetView.GetAddressOf(), depthStencilView.Get());

    // Nearer fragments win and write their depth; no stencil test. The stencil members
    // are unused but given valid values, which the runtime's validation asks for.
    D3D11_DEPTH_STENCIL_DESC depthStencilDesc = {};
    depthStencilDesc.DepthEnable = TRUE;
    depthStencilDesc.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    depthStencilDesc.DepthFunc = D3D11_COMPARISON_LESS;
    depthStencilDesc.StencilEnable = FALSE;
    const D3D11_DEPTH_STENCILOP_DESC keep = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                             D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS};
    depthStencilDesc.FrontFace = keep;
    depthStencilDesc.BackFace = keep;
    device->CreateDepthStencilState(&depthStencilDesc, depthStencilState.ReleaseAndGetAddressOf());
    // An empty slot binds the default state, whose depth test is the same.
    deviceContext->OMSetDepthStencilState(depthStencilState.Get(), 1);
    return true;
}
