#include "comm/kxasync_packets.h"
#include "platform/CodePage.h"
#include "QtPrinters.h"
#include <gtest/gtest.h>
#include <functional>
#include <limits>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int value : values)
        result.append(static_cast<char>(value));
    return result;
}

std::unique_ptr<TLEPacket> PacketOf(const QByteArray& data, std::int32_t tag = 0)
{
    auto packet = std::make_unique<TLEPacket>();
    packet->SetData(data);
    packet->Tag = tag;
    return packet;
}

// Runs call and gives the message of the EPacketException it raised.
QString PacketErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const EPacketException& e) {
        return e.Message();
    }
    return QStringLiteral("<no exception>");
}

// Sets the process's ANSI code page for one test.
class TAnsiCodePageGuard {
public:
    explicit TAnsiCodePageGuard(const QString& name) : FPrevious(AnsiCodePage().Name()) { SetAnsiCodePage(name); }
    ~TAnsiCodePageGuard() { SetAnsiCodePage(FPrevious); }

private:
    QString FPrevious;
};

class TTestTransaction : public TDataTransaction {
public:
    TTestTransaction()
    {
        Request = std::make_unique<TLEPacket>();
        Response = std::make_unique<TLEPacket>();
    }
    QString ClassName() const override { return QStringLiteral("TTestTransaction"); }
    std::unique_ptr<TDataTransaction> Create() const override { return std::make_unique<TTestTransaction>(); }
};

// A derived transaction that forgot to say how it is created.
class TForgetfulTransaction : public TTestTransaction {
public:
    std::unique_ptr<TDataTransaction> Create() const override { return std::make_unique<TTestTransaction>(); }
};

} // namespace

// A word or double word read past the end names the address and the last address that fits.
TEST(Packets, WordReadersReportTheLastAddressThatFits)
{
    auto packet = PacketOf(Bytes({1, 2, 3, 4}));
    EXPECT_EQ(packet->GetAsDBD(0), 0x04030201);
    EXPECT_EQ(packet->GetAsFloat(0), std::bit_cast<float>(0x04030201u));
    EXPECT_EQ(packet->GetAsDBW(2), 0x0403);
    EXPECT_EQ(PacketErrorOf([&] { packet->GetAsDBD(1); }), "Address 1 out of space (0)");
    EXPECT_EQ(PacketErrorOf([&] { packet->GetAsDBW(3); }), "Address 3 out of space (2)");
    EXPECT_EQ(PacketErrorOf([&] { packet->GetAsDBW(-1); }), "Address -1 out of space (2)");
    EXPECT_EQ(PacketErrorOf([&] { PacketOf({})->GetAsDBW(0); }), "Address 0 out of space (-2)");
}

// The general address check names class, tag, address and last fitting address, then the data.
TEST(Packets, AddressCheckMessageCarriesTheLogText)
{
    auto packet = PacketOf("ABCD", 7);
    EXPECT_EQ(PacketErrorOf([&] { packet->GetCharsAsString(2, 3); }),
        "Class:TLEPacket Tag:7 - Address 2 out of space (1)\r\nABCD");
    EXPECT_EQ(PacketErrorOf([&] { packet->SetAsInt64(-4, 1); }),
        "Class:TLEPacket Tag:7 - Address -4 out of space (-4)\r\nABCD");
}

// No accessor reads or writes a byte outside the data: each raises and the packet stays as it was.
TEST(Packets, EveryAccessorOutsideTheDataRaisesAndChangesNothing)
{
    const QByteArray original = Bytes({0x11, 0x22, 0x33, 0x44});
    auto packet = PacketOf(original);
    TLEPacket& p = *packet;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"GetAsDBB", [&] { p.GetAsDBB(4); }},
        {"GetAsDBB negative", [&] { p.GetAsDBB(-1); }},
        {"SetAsDBB", [&] { p.SetAsDBB(4, 0); }},
        {"GetAsDBX", [&] { p.GetAsDBX(4, 0); }},
        {"SetAsDBX", [&] { p.SetAsDBX(-1, 0, true); }},
        {"SetAsDBW", [&] { p.SetAsDBW(3, 0); }},
        {"SetAsDBI", [&] { p.SetAsDBI(3, 0); }},
        {"GetAsDBI", [&] { p.GetAsDBI(3); }},
        {"SetAsDBD", [&] { p.SetAsDBD(1, 0); }},
        {"GetAsFloat", [&] { p.GetAsFloat(1); }},
        {"SetAsFloat", [&] { p.SetAsFloat(1, 0); }},
        {"GetAsInt64", [&] { p.GetAsInt64(0); }},
        {"SetAsInt64", [&] { p.SetAsInt64(0, 0); }},
        {"GetAsDateTime", [&] { p.GetAsDateTime(0); }},
        {"SetAsDateTime", [&] { p.SetAsDateTime(0, 0); }},
        {"GetCharsAsString", [&] { p.GetCharsAsString(4, 1); }},
        {"GetCharsAsString negative length", [&] { p.GetCharsAsString(0, -1); }},
        {"SetCharsAsString", [&] { p.SetCharsAsString(1, 4, "abcd"); }},
        {"GetAsString past the end", [&] { p.GetAsString(5); }},
        {"SetAsString", [&] { p.SetAsString(2, "ab"); }},
        {"GetAsS5Time", [&] { p.GetAsS5Time(3); }},
        {"SetAsS5Time", [&] { p.SetAsS5Time(3, 100); }},
        {"bit above 7", [&] { p.GetAsDBX(0, 8); }},
        {"bit below 0", [&] { p.SetAsDBX(0, -1, true); }},
        {"bit far above", [&] { p.GetAsDBX(0, 32); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_THROW(call(), EPacketException) << name;
        EXPECT_EQ(p.GetData(), original) << name;
    }
}

// Multi-byte values lie least significant byte first, floats and date-times as IEEE values.
TEST(Packets, LittleEndianLayout)
{
    auto packet = PacketOf(QByteArray(8, '\0'));
    TLEPacket& p = *packet;

    p.SetAsDBW(1, 0x1234);
    EXPECT_EQ(p.GetData(), Bytes({0, 0x34, 0x12, 0, 0, 0, 0, 0}));
    p.SetAsDBD(4, 0x12345678);
    EXPECT_EQ(p.GetData(), Bytes({0, 0x34, 0x12, 0, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(p.GetAsDBD(4), 0x12345678);

    p.SetAsInt64(0, -2);
    EXPECT_EQ(p.GetData(), Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(p.GetAsInt64(0), -2);
    p.SetAsInt64(0, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(p.GetAsInt64(0), std::numeric_limits<std::int64_t>::min());

    p.SetAsFloat(4, 1.0f);
    EXPECT_EQ(p.GetData().mid(4), Bytes({0x00, 0x00, 0x80, 0x3F}));
    p.SetAsFloat(4, -0.1f);
    EXPECT_EQ(p.GetAsFloat(4), -0.1f);

    // 1900-01-01 12:00 as an OLE date is 2.5 days.
    p.SetAsDateTime(0, 2.5);
    EXPECT_EQ(p.GetData(), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40}));
    EXPECT_EQ(p.GetAsDateTime(0), 2.5);
    EXPECT_EQ(p.GetDataLength(), 8);
}

// A signed word shares its 16 bits with the unsigned one.
TEST(Packets, SignedWordSharesTheBitsOfTheWord)
{
    auto packet = PacketOf(QByteArray(3, '\0'));
    packet->SetAsDBI(1, -2);
    EXPECT_EQ(packet->GetAsDBW(1), 65534);
    EXPECT_EQ(packet->GetAsDBI(1), -2);
    EXPECT_EQ(packet->GetData(), Bytes({0, 0xFE, 0xFF}));
}

// A bit changes in place and leaves the other bits of its byte alone.
TEST(Packets, BitsChangeInPlace)
{
    auto packet = PacketOf(Bytes({0x00, 0xF0}));
    packet->SetAsDBX(1, 0, true);
    packet->SetAsDBX(1, 7, false);
    EXPECT_EQ(packet->GetData(), Bytes({0x00, 0x71}));
    EXPECT_TRUE(packet->GetAsDBX(1, 0));
    EXPECT_TRUE(packet->GetAsDBX(1, 6));
    EXPECT_FALSE(packet->GetAsDBX(1, 7));
    EXPECT_FALSE(packet->GetAsDBX(0, 0));
}

// Fixed-length character fields are cut or padded with blanks and never change the data length.
TEST(Packets, CharacterFields)
{
    auto packet = PacketOf(QByteArray(6, 'x'));
    packet->SetCharsAsString(0, 5, "ab");
    EXPECT_EQ(packet->GetData(), "ab   x");
    packet->SetCharsAsString(4, 2, "cdef");
    EXPECT_EQ(packet->GetData(), "ab  cd");
    packet->SetCharsAsString(2, 0, "zz");
    EXPECT_EQ(packet->GetData(), "ab  cd");
    EXPECT_EQ(packet->GetCharsAsString(1, 4), "b  c");
    EXPECT_EQ(packet->GetCharsAsString(6, 0), "");
}

// Zero-terminated strings: written with their zero, read up to the zero or the end of the data.
TEST(Packets, ZeroTerminatedStrings)
{
    auto four = PacketOf(QByteArray(4, 'x'));
    four->SetAsString(0, "abc");
    EXPECT_EQ(four->GetData(), Bytes({0x61, 0x62, 0x63, 0x00}));
    EXPECT_THROW(PacketOf(QByteArray(3, 'x'))->SetAsString(0, "abc"), EPacketException);

    EXPECT_EQ(PacketOf(Bytes({0x41, 0x42, 0x00, 0x43}))->GetAsString(0), "AB");
    EXPECT_EQ(PacketOf(Bytes({0x41, 0x42}))->GetAsString(0), "AB");
    EXPECT_EQ(PacketOf(Bytes({0x41, 0x42}))->GetAsString(1), "B");
    EXPECT_EQ(PacketOf(Bytes({0x41, 0x42}))->GetAsString(2), "");
}

// S5 times read and write across the four time bases, truncating what the base cannot hold.
TEST(Packets, S5Time)
{
    struct TRead {
        int b0, b1;
        std::uint32_t ms;
    };
    for (const TRead& row : {TRead{0x21, 0x23, 123'000}, TRead{0x00, 0x00, 0}, TRead{0x09, 0x99, 9'990},
             TRead{0x19, 0x99, 99'900}, TRead{0x39, 0x99, 9'990'000}, TRead{0xC1, 0x23, 1'230},
             // Not BCD: the nibble 10 counts as the two digits "10".
             TRead{0x0A, 0x12, 10'120}}) {
        EXPECT_EQ(PacketOf(Bytes({row.b0, row.b1}))->GetAsS5Time(0), row.ms) << row.b0 << " " << row.b1;
    }

    struct TWrite {
        std::uint32_t ms;
        int b0, b1;
    };
    for (const TWrite& row : {TWrite{12'345, 0x11, 0x23}, TWrite{5, 0x00, 0x00}, TWrite{9'999, 0x09, 0x99},
             TWrite{10'000, 0x11, 0x00}, TWrite{999'999, 0x29, 0x99}, TWrite{9'999'999, 0x39, 0x99}}) {
        auto packet = PacketOf(Bytes({0xFF, 0xFF, 0xFF}));
        packet->SetAsS5Time(1, row.ms);
        EXPECT_EQ(packet->GetData(), Bytes({0xFF, row.b0, row.b1})) << row.ms;
    }

    auto packet = PacketOf(Bytes({0x12, 0x34}));
    EXPECT_EQ(PacketErrorOf([&] { packet->SetAsS5Time(0, 10'000'000); }), "S5 time 10000000 ms out of range (9999999)");
    EXPECT_EQ(packet->GetData(), Bytes({0x12, 0x34}));
}

// Assign copies the label, the tag and every byte, zero bytes included, but not the flags.
TEST(Packets, AssignCopiesDataExactly)
{
    TLEPacket source;
    source.Name = "block";
    source.Tag = 42;
    source.ReceiveStringToData(Bytes({0x00, 0x41, 0x00, 0x00}));
    source.LaunchOnReceive = false;

    TLEPacket copy;
    copy.Assign(source);
    EXPECT_EQ(copy.Name, "block");
    EXPECT_EQ(copy.Tag, 42);
    EXPECT_EQ(copy.GetData(), Bytes({0x00, 0x41, 0x00, 0x00}));
    EXPECT_FALSE(copy.Valid);
    EXPECT_TRUE(copy.LaunchOnReceive);
    EXPECT_TRUE(copy.LaunchBeforeSend);

    EXPECT_TRUE(source.Valid);
    source.Clear();
    EXPECT_FALSE(source.Valid);
    EXPECT_EQ(source.GetDataLength(), 0);
    EXPECT_EQ(copy.GetDataLength(), 4);
}

// Buffers: loading takes exactly count bytes, saving copies no more than either side holds.
TEST(Packets, BuffersAreBoundedOnBothSides)
{
    const char raw[] = {'a', '\0', 'b', 'c'};
    TDataPacket packet;
    packet.LoadDataFromBuff(raw, 3);
    EXPECT_EQ(packet.GetData(), QByteArray("a\0b", 3));

    char small[2] = {'x', 'x'};
    packet.SaveDataToBuff(small, 2);
    EXPECT_EQ(QByteArray(small, 2), QByteArray("a\0", 2));
    char large[5] = {'x', 'x', 'x', 'x', 'x'};
    packet.SaveDataToBuff(large, 5);
    EXPECT_EQ(QByteArray(large, 5), QByteArray("a\0bxx", 5));

    packet.LoadDataFromBuff(nullptr, 0);
    EXPECT_EQ(packet.GetDataLength(), 0);
    EXPECT_THROW(packet.LoadDataFromBuff(raw, -1), EPacketException);
    EXPECT_THROW(packet.LoadDataFromBuff(nullptr, 2), EPacketException);
    EXPECT_THROW(packet.SaveDataToBuff(large, -1), EPacketException);
}

// The log text reads the bytes in the process's ANSI code page.
TEST(Packets, LogStringUsesTheAnsiCodePage)
{
    TAnsiCodePageGuard codePage(QStringLiteral("windows-1250"));
    auto packet = PacketOf(Bytes({0x8A, 0x65}));
    EXPECT_EQ(packet->GetLogString(), QString::fromUtf8("\xC5\xA0" "e"));
    EXPECT_EQ(PacketErrorOf([&] { packet->GetAsDBD(0); }), "Address 0 out of space (-2)");
    EXPECT_TRUE(PacketErrorOf([&] { packet->GetAsInt64(0); }).endsWith(QString::fromUtf8("\r\n\xC5\xA0" "e")));
}

// A repeat transaction is cloned into an independent transaction of its own class.
TEST(Transactions, CloneIsIndependentAndOfTheSameClass)
{
    TTestTransaction item;
    item.Tag = 5;
    item.Request->SetData("req");
    item.Request->Name = "read";
    item.Response->SetData(QByteArray("\0ans", 4));

    std::unique_ptr<TDataTransaction> copy = item.Clone();
    ASSERT_NE(dynamic_cast<TTestTransaction*>(copy.get()), nullptr);
    EXPECT_EQ(copy->Tag, 5);
    EXPECT_EQ(copy->Request->GetData(), "req");
    EXPECT_EQ(copy->Request->Name, "read");
    EXPECT_EQ(copy->Response->GetData(), QByteArray("\0ans", 4));
    EXPECT_NE(dynamic_cast<TLEPacket*>(copy->Request.get()), nullptr);

    copy->Request->SetData("changed");
    EXPECT_EQ(item.Request->GetData(), "req");

    TForgetfulTransaction forgetful;
    EXPECT_THROW(forgetful.Clone(), EkxComException);
}

// Assign copies only the packets that exist on both sides; the base creates none.
TEST(Transactions, AssignSkipsAbsentPackets)
{
    TDataTransaction bare;
    EXPECT_EQ(bare.Request, nullptr);
    EXPECT_EQ(bare.Response, nullptr);

    TTestTransaction full;
    full.Tag = 9;
    full.Request->SetData("r");
    bare.Assign(full);
    EXPECT_EQ(bare.Tag, 9);
    EXPECT_EQ(bare.Request, nullptr);

    TTestTransaction target;
    target.Response->SetData("kept");
    TDataTransaction source;
    source.Tag = 3;
    target.Assign(source);
    EXPECT_EQ(target.Tag, 3);
    EXPECT_EQ(target.Response->GetData(), "kept");
}
