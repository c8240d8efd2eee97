#include "wav.h"

#include <cstring>

namespace say {

namespace {

// Writes into a buffer of the final size, little-endian byte by byte.
class Writer {
public:
    explicit Writer(std::vector<unsigned char>& out) : out_(out) {}
    void u16(std::uint16_t value) {
        out_[at_++] = static_cast<unsigned char>(value & 0xFF);
        out_[at_++] = static_cast<unsigned char>(value >> 8);
    }
    void u32(std::uint32_t value) {
        u16(static_cast<std::uint16_t>(value & 0xFFFF));
        u16(static_cast<std::uint16_t>(value >> 16));
    }
    void tag(const char (&name)[5]) {
        std::memcpy(&out_[at_], name, 4);
        at_ += 4;
    }

private:
    std::vector<unsigned char>& out_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<unsigned char> encode_wav(std::span<const std::int16_t> samples, std::uint32_t sample_rate) {
    constexpr std::uint16_t channels = 1;
    constexpr std::uint16_t bits_per_sample = 16;
    constexpr std::uint16_t block_align = channels * bits_per_sample / 8;
    const auto data_size = static_cast<std::uint32_t>(samples.size() * block_align);

    std::vector<unsigned char> out(44 + std::size_t{data_size});
    Writer write(out);
    write.tag("RIFF");
    write.u32(36 + data_size);  // everything after this field
    write.tag("WAVE");
    write.tag("fmt ");
    write.u32(16);  // size of a plain PCM format chunk
    write.u16(1);   // PCM
    write.u16(channels);
    write.u32(sample_rate);
    write.u32(sample_rate * block_align);  // bytes per second
    write.u16(block_align);
    write.u16(bits_per_sample);
    write.tag("data");
    write.u32(data_size);
    for (std::int16_t sample : samples)
        write.u16(static_cast<std::uint16_t>(sample));
    return out;
}

}  // namespace say
