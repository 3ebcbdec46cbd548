// Build-time HLSL compiler: compiles one program with D3DCompile from d3dcompiler_47 and
// writes the compiled container. It runs natively on Windows and under Wine elsewhere,
// whose d3dcompiler_47 is an HLSL compiler of its own.
//
//   shader_compiler <source.hlsl> <entry point> <profile> <output container>
//
// Errors and warnings go to stderr; a failed compile leaves no output file and exits 1.

#include <d3dcompiler.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

using Microsoft::WRL::ComPtr;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: shader_compiler <source.hlsl> <entry> <profile> <output>\n");
        return 2;
    }
    const char* sourcePath = argv[1];
    const char* entryPoint = argv[2];
    const char* profile = argv[3];
    const char* outputPath = argv[4];

    std::ifstream sourceFile(sourcePath, std::ios::binary);
    if (!sourceFile) {
        std::fprintf(stderr, "%s: cannot read\n", sourcePath);
        return 1;
    }
    const std::string source{std::istreambuf_iterator<char>(sourceFile), {}};

    // Strictness rejects deprecated syntax; warnings fail the build like the C++ ones.
    const UINT flags = D3DCOMPILE_ENABLE_STRICTNESS | D3DCOMPILE_WARNINGS_ARE_ERRORS |
                       D3DCOMPILE_OPTIMIZATION_LEVEL3;
    ComPtr<ID3DBlob> code;
    ComPtr<ID3DBlob> messages;
    const HRESULT result = D3DCompile(source.data(), source.size(), sourcePath,
                                      nullptr,  // no macros
                                      nullptr,  // no #include handler: one file per program
                                      entryPoint, profile, flags,
                                      0,  // effect flags: not an effect
                                      &code, &messages);
    if (messages && messages->GetBufferSize() > 0) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(messages->GetBufferSize()),
                     static_cast<const char*>(messages->GetBufferPointer()));
    }
    if (FAILED(result) || !code) {
        std::fprintf(stderr, "%s: compile failed (0x%08lx)\n", sourcePath,
                     static_cast<unsigned long>(result));
        return 1;
    }

    std::ofstream output(outputPath, std::ios::binary | std::ios::trunc);
    output.write(static_cast<const char*>(code->GetBufferPointer()),
                 static_cast<std::streamsize>(code->GetBufferSize()));
    output.close();
    if (!output) {
        std::fprintf(stderr, "%s: cannot write\n", outputPath);
        std::remove(outputPath);
        return 1;
    }
    return 0;
}
