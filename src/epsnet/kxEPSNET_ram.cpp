#include "epsnet/kxEPSNET_ram.h"
#include <algorithm>
#include <cstring>

void TValidSegments::UpDateSegmentInfo(std::int32_t, std::int32_t) {}

void TValidSegments::SortSegments()
{
    std::sort(FSegments.begin(), FSegments.end(),
              [](const TEPSNETRamSegment& a, const TEPSNETRamSegment& b) { return a.Address < b.Address; });
    Sorted = true;
}

TEPSNETRam::TEPSNETRam() = default;

void TEPSNETRam::UpdateFromPacket(const TEPSNETPacket& APacket)
{
    const std::int32_t a = APacket.Address;
    if (a < 0 || a > RamSize)
        throw EEPSNETException(QStringLiteral("Out of RAM space"));
    const std::int32_t n = std::min(APacket.DataLength(), RamSize - a);
    if (n > 0)
        std::memcpy(ram.data() + a, APacket.Data().constData(), static_cast<std::size_t>(n));
    FValidSegments.UpDateSegmentInfo(a, n);
}

bool TEPSNETRam::IsValid(std::int32_t, std::int32_t) const { return true; }

std::uint8_t TEPSNETRam::ByteAt(std::int64_t index) const noexcept
{
    return Contains(index) ? ram[static_cast<std::size_t>(index)] : 0;
}

void TEPSNETRam::SetByteAt(std::int64_t index, std::uint8_t value) noexcept
{
    if (Contains(index))
        ram[static_cast<std::size_t>(index)] = value;
}
