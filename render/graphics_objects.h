// Every Direct3D object of the program, one owning slot each.
//
// The slots are constructed empty before WinMain runs and live until process exit,
// when they are released in reverse declaration order: renderTargetView first,
// constantBuffer last. Creating into a slot goes through ReleaseAndGetAddressOf, which
// releases what the slot held; a creation that fails leaves it empty.
#pragma once

#include <d3d11.h>
#include <wrl/client.h>

namespace GraphicsObjects {

using Microsoft::WRL::ComPtr;

extern ComPtr<ID3D11Buffer> constantBuffer;
extern ComPtr<ID3D11Buffer> vertexBuffer;
extern ComPtr<ID3D11Buffer> indexBuffer;
extern ComPtr<ID3D11VertexShader> vertexShader;
extern ComPtr<ID3D11PixelShader> pixelShader;
extern ComPtr<ID3D11InputLayout> inputLayout;
extern ComPtr<ID3D11Texture2D> depthStencilTexture;
extern ComPtr<ID3D11DepthStencilView> depthStencilView;
extern ComPtr<ID3D11DepthStencilState> depthStencilState;
extern ComPtr<ID3D11Device> device;
extern ComPtr<ID3D11DeviceContext> deviceContext;
extern ComPtr<IDXGISwapChain> swapChain;
extern ComPtr<ID3D11RenderTargetView> renderTargetView;

}  // namespace GraphicsObjects
