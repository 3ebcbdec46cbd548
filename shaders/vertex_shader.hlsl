// Transforms each mesh vertex by one matrix and shades it grey by its model-space height.

cbuffer TransformationBuffer : register(b0)
{
    // Column-major (the default packing): register i holds column i, so mul(p, m)
    // gives clip component i as the dot product of p with register i.
    float4x4 transformMatrix;
};

struct VertexInput
{
    float3 position : POSITION;
    // Declared so that the input layout matches the vertex record; never read.
    float4 color : COLOR;
};

struct VertexOutput
{
    float4 position : SV_POSITION;
    float4 color : COLOR;
};

VertexOutput VSMain(VertexInput input)
{
    VertexOutput output;
    output.position = mul(float4(input.position, 1.0f), transformMatrix);
    float shade = 0.4f * input.position.y;
    output.color = float4(shade, shade, shade, 1.0f);
    return output;
}
