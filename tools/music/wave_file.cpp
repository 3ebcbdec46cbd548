#include "wave_file.h"

#include "dsp.h"

#include <cstddef>
#include <string_view>

namespace music {

namespace {

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void Tag(std::string_view tag) {
        for (char c : tag) {
            out_.push_back(static_cast<std::uint8_t>(c));
        }
    }
    void U16(std::uint32_t v) { Bytes(v, 2); }
    void U32(std::uint32_t v) { Bytes(v, 4); }
    void Bytes(std::uint32_t v, int count) {
        for (int i = 0; i < count; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }

private:
    std::vector<std::uint8_t>& out_;
};

}  // namespace

std::vector<std::uint8_t> EncodeWave(const std::vector<std::int32_t>& samples) {
    constexpr std::uint32_t kChannels = 2;
    constexpr std::uint32_t kBytesPerSample = 3;
    constexpr std::uint32_t kBlockAlign = kChannels * kBytesPerSample;
    const auto frames = static_cast<std::uint32_t>(samples.size() / kChannels);
    const std::uint32_t dataBytes = frames * kBlockAlign;
    // "WAVE" + fmt (8 + 40) + fact (8 + 4) + data header (8) precede the samples.
    const std::uint32_t riffSize = 4 + 48 + 12 + 8 + dataBytes;

    std::vector<std::uint8_t> out;
    out.reserve(8 + riffSize);
    Writer w(out);
    w.Tag("RIFF");
    w.U32(riffSize);
    w.Tag("WAVE");

    w.Tag("fmt ");
    w.U32(40);
    w.U16(0xFFFE);  // WAVE_FORMAT_EXTENSIBLE
    w.U16(kChannels);
    w.U32(kSampleRate);
    w.U32(kSampleRate * kBlockAlign);
    w.U16(kBlockAlign);
    w.U16(8 * kBytesPerSample);
    w.U16(22);                   // size of the extension that follows
    w.U16(8 * kBytesPerSample);  // valid bits
    w.U32(0x3);                  // front left | front right
    w.U32(0x00000001);           // sub-format GUID: integer PCM
    w.U16(0x0000);
    w.U16(0x0010);
    for (std::uint8_t b : {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}) {
        out.push_back(b);
    }

    w.Tag("fact");
    w.U32(4);
    w.U32(frames);

    w.Tag("data");
    w.U32(dataBytes);
    for (std::size_t i = 0; i < static_cast<std::size_t>(frames) * kChannels; ++i) {
        w.Bytes(static_cast<std::uint32_t>(samples[i]), 3);
    }
    return out;
}

}  // namespace music
