#pragma once
#include "epsnet/kxEPSNET_frames.h"
#include "platform/DateTime.h"
#include <array>
#include <cstdint>
#include <vector>

// The local image of one PLC memory area: 64 KiB that every read answer is copied into and every
// tag reads its value from. It has no lock of its own; the thread-safe tag list's lock guards
// every copy and every read.

// A refreshed range of an image.
struct TEPSNETRamSegment {
    std::int32_t Address = 0;
    std::int32_t Length = 0;
    TDateTime LastUpdate = 0;
};

// The refreshed ranges of an image. Nothing needs them yet, so no range is recorded and every
// range counts as valid.
class TValidSegments {
public:
    // Called after every copy with the copied range; records nothing.
    void UpDateSegmentInfo(std::int32_t Address, std::int32_t Length);
    // By Address, ascending.
    void SortSegments();

    const std::vector<TEPSNETRamSegment>& Segments() const noexcept { return FSegments; }

    bool Sorted = false;

private:
    std::vector<TEPSNETRamSegment> FSegments;
};

class TEPSNETRam {
public:
    static constexpr std::int32_t RamSize = 65536;

    TEPSNETRam();
    TEPSNETRam(const TEPSNETRam&) = delete;
    TEPSNETRam& operator=(const TEPSNETRam&) = delete;

    // Copies the packet's data into the image from the packet's Address (the packet's Area has
    // already chosen the image). Data that run past the last byte are cut off; an address of
    // exactly RamSize copies nothing; an address below 0 or above RamSize raises "Out of RAM
    // space" and leaves the image unchanged.
    void UpdateFromPacket(const TEPSNETPacket& APacket);
    // Every range counts as valid while no segments are tracked.
    bool IsValid(std::int32_t Address, std::int32_t Length) const;

    // The byte at index, 0 for an index outside the image, so that a tag lying partly or wholly
    // beyond the image reads zeros there instead of memory that is not the image.
    std::uint8_t ByteAt(std::int64_t index) const noexcept;
    // Changes one byte; an index outside the image changes nothing.
    void SetByteAt(std::int64_t index, std::uint8_t value) noexcept;
    static constexpr bool Contains(std::int64_t index) noexcept { return index >= 0 && index < RamSize; }

    TValidSegments& ValidSegments() noexcept { return FValidSegments; }

    // All zero after construction, never cleared afterwards.
    std::array<std::uint8_t, RamSize> ram{};

private:
    TValidSegments FValidSegments;
};
