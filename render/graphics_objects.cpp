#include "graphics_objects.h"

// Defined together, in this order, so that static destruction at process exit releases
// them in exactly the reverse order.
namespace GraphicsObjects {

ComPtr<ID3D11Buffer> constantBuffer;
ComPtr<ID3D11Buffer> vertexBuffer;
ComPtr<ID3D11Buffer> indexBuffer;
ComPtr<ID3D11VertexShader> vertexShader;
ComPtr<ID3D11PixelShader> pixelShader;
ComPtr<ID3D11InputLayout> inputLayout;
ComPtr<ID3D11Texture2D> depthStencilTexture;
ComPtr<ID3D11DepthStencilView> depthStencilView;
ComPtr<ID3D11DepthStencilState> depthStencilState;
ComPtr<ID3D11Device> device;
ComPtr<ID3D11DeviceContext> deviceContext;
ComPtr<IDXGISwapChain> swapChain;
ComPtr<ID3D11RenderTargetView> renderTargetView;

}  // namespace GraphicsObjects
