#include "graphics_objects.h"
#include "mesh.h"
#include "pixel_shader.h"
#include "render.h"
#include "transform.h"
#include "vertex_shader.h"

void CreatePipelineResources() {
    using namespace GraphicsObjects;

    device->CreateVertexShader(VertexShaderCode, sizeof(VertexShaderCode),
                               nullptr,  // no class linkage
                               vertexShader.ReleaseAndGetAddressOf());
    device->CreatePixelShader(PixelShaderCode, sizeof(PixelShaderCode), nullptr,
                              pixelShader.ReleaseAndGetAddressOf());

    // The MeshVertex record. The vertex program never reads the colour, but its input
    // signature declares it, and the layout is checked against that signature.
    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    device->CreateInputLayout(layout, 2, VertexShaderCode, sizeof(VertexShaderCode),
                              inputLayout.ReleaseAndGetAddressOf());

    // The whole mesh goes to the GPU once, here; the frame only binds it.
    D3D11_BUFFER_DESC vertexDesc = {};
    vertexDesc.ByteWidth = sizeof(MeshVertices);  // 2,016,756
    vertexDesc.Usage = D3D11_USAGE_IMMUTABLE;
    vertexDesc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    const D3D11_SUBRESOURCE_DATA vertexData = {MeshVertices, 0, 0};
    device->CreateBuffer(&vertexDesc, &vertexData, vertexBuffer.ReleaseAndGetAddressOf());

    D3D11_BUFFER_DESC indexDesc = {};
    indexDesc.ByteWidth = sizeof(MeshIndices);  // 1,728,552
    indexDesc.Usage = D3D11_USAGE_IMMUTABLE;
    indexDesc.BindFlags = D3D11_BIND_INDEX_BUFFER;
    const D3D11_SUBRESOURCE_DATA indexData = {MeshIndices, 0, 0};
    device->CreateBuffer(&indexDesc, &indexData, indexBuffer.ReleaseAndGetAddressOf());

    // Rewritten every frame with a discarding map, so the CPU never waits for the GPU to
    // finish with the previous matrix. Constant buffers are a multiple of 16 bytes.
    D3D11_BUFFER_DESC constantDesc = {};
    constantDesc.ByteWidth = sizeof(Float4x4);  // 64
    constantDesc.Usage = D3D11_USAGE_DYNAMIC;
    constantDesc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    constantDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    device->CreateBuffer(&constantDesc, nullptr, constantBuffer.ReleaseAndGetAddressOf());
}
