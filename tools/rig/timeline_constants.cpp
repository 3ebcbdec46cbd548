// Writes the constants that the Python tools and the rig share with the program, as one
// JSON object, from the timeline's and the mesh's own headers:
//
//   timeline_constants <output file>
//
// Single-precision values are written with 17 significant digits, which a reader turns
// back into the same float exactly.
#include <cstdio>
#include <initializer_list>

#include "mesh.h"
#include "timeline.h"
#include "transform.h"

namespace {

void Number(std::FILE* out, const char* name, double value, bool last = false) {
    std::fprintf(out, "  \"%s\": %.17g%s\n", name, value, last ? "" : ",");
}

void Vector(std::FILE* out, const char* name, std::initializer_list<float> values) {
    std::fprintf(out, "  \"%s\": [", name);
    const char* separator = "";
    for (const float v : values) {
        std::fprintf(out, "%s%.17g", separator, static_cast<double>(v));
        separator = ", ";
    }
    std::fprintf(out, "],\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::fprintf(stderr, "timeline_constants: cannot open %s\n", argv[1]);
        return 1;
    }
    std::fprintf(out, "{\n");
    Number(out, "MeshVertexCount", MeshVertexCount);
    Number(out, "MeshIndexCount", MeshIndexCount);
    Number(out, "DrawIndicesPerSecond", DrawIndicesPerSecond);
    Number(out, "SpinRadiansPerSecond", SpinRadiansPerSecond);
    Number(out, "RunSeconds", RunSeconds);
    Vector(out, "RampMiddleColor", {RampMiddleColor[0], RampMiddleColor[1], RampMiddleColor[2]});
    Number(out, "RampMiddleSeconds", RampMiddleSeconds);
    Number(out, "RampEndSeconds", RampEndSeconds);
    Vector(out, "CameraEye", {CameraEye.x, CameraEye.y, CameraEye.z});
    Vector(out, "CameraFocus", {CameraFocus.x, CameraFocus.y, CameraFocus.z});
    Vector(out, "CameraUp", {CameraUp.x, CameraUp.y, CameraUp.z});
    Number(out, "CameraFieldOfViewY", CameraFieldOfViewY);
    Number(out, "CameraNearZ", CameraNearZ);
    Number(out, "CameraFarZ", CameraFarZ, true);
    std::fprintf(out, "}\n");
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "timeline_constants: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
