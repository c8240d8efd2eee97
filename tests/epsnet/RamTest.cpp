#include "EpsnetTestSupport.h"
#include "epsnet/kxEPSNET_ram.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace {

bool AllBytesAre(const TEPSNETRam& ram, std::uint8_t value)
{
    return std::all_of(ram.ram.begin(), ram.ram.end(), [&](std::uint8_t b) { return b == value; });
}

} // namespace

// An answer is copied at its address; only its own bytes change.
TEST(EpsnetRam, AnswerIsCopiedAtItsAddress)
{
    TEPSNETRam ram;
    EXPECT_TRUE(AllBytesAre(ram, 0));
    ram.UpdateFromPacket(*AnswerPacket(_epsnet_r, 100, Bytes({1, 2, 3})));
    EXPECT_EQ(ram.ram[99], 0);
    EXPECT_EQ(ram.ram[100], 1);
    EXPECT_EQ(ram.ram[102], 3);
    EXPECT_EQ(ram.ram[103], 0);

    // A later answer over part of the range keeps the bytes it does not cover.
    ram.UpdateFromPacket(*AnswerPacket(_epsnet_r, 101, Bytes({9})));
    EXPECT_EQ(ram.ram[100], 1);
    EXPECT_EQ(ram.ram[101], 9);
    EXPECT_EQ(ram.ram[102], 3);
}

// Data running past the last byte are cut; an address of exactly 65536 copies nothing.
TEST(EpsnetRam, AnswersAreCutAtTheImageEnd)
{
    TEPSNETRam ram;
    ram.UpdateFromPacket(*AnswerPacket(_epsnet_r, 65530, QByteArray(10, '\x7F')));
    EXPECT_EQ(ram.ram[65529], 0);
    EXPECT_TRUE(std::all_of(ram.ram.begin() + 65530, ram.ram.end(), [](std::uint8_t b) { return b == 0x7F; }));

    TEPSNETRam untouched;
    untouched.UpdateFromPacket(*AnswerPacket(_epsnet_r, 65536, QByteArray(10, '\x7F')));
    untouched.UpdateFromPacket(*AnswerPacket(_epsnet_r, 0, QByteArray()));
    EXPECT_TRUE(AllBytesAre(untouched, 0));
}

// An address below 0 or above 65536 is refused and leaves the image as it was.
TEST(EpsnetRam, AddressesOutsideTheImageAreRefused)
{
    TEPSNETRam ram;
    for (int address : {-1, 65537, 70000}) {
        EXPECT_EQ(ErrorOf([&] { ram.UpdateFromPacket(*AnswerPacket(_epsnet_r, address, "abc")); }),
                  "EEPSNETException: Out of RAM space");
    }
    EXPECT_TRUE(AllBytesAre(ram, 0));
}

// Segments are not tracked: every range is valid and the list stays empty.
TEST(EpsnetRam, SegmentsStayEmpty)
{
    TEPSNETRam ram;
    ram.UpdateFromPacket(*AnswerPacket(_epsnet_r, 10, "abc"));
    EXPECT_TRUE(ram.IsValid(0, 65536));
    EXPECT_TRUE(ram.ValidSegments().Segments().empty());
    ram.ValidSegments().SortSegments();
    EXPECT_TRUE(ram.ValidSegments().Sorted);
}
