#include "epsnet/kxEPSNET_master.h"
#include <gtest/gtest.h>

namespace {

// A line whose worker only waits, so that the test takes the turns itself.
class TIdleThread : public TComThread {
public:
    using TComThread::TComThread;

protected:
    void Execute() override
    {
        while (!Terminated())
            Event().WaitFor(50);
    }
};

std::unique_ptr<TEPSNETTransaction> Read(std::int32_t tag, TEPSNETArea area, std::int32_t address, std::int32_t length)
{
    auto transaction = TEPSNETTransaction::CreateWithParams(area, address, length);
    transaction->Tag = tag;
    transaction->RequestPacket()->Name = QStringLiteral("read %1").arg(tag);
    transaction->RequestPacket()->DestinationAddress = 7;
    return transaction;
}

void ExpectSamePacket(const TDataPacket& actual, const TDataPacket& expected)
{
    EXPECT_EQ(actual.Name, expected.Name);
    EXPECT_EQ(actual.Tag, expected.Tag);
    EXPECT_EQ(actual.Data(), expected.Data());
    EXPECT_EQ(actual.Valid, expected.Valid);
    EXPECT_EQ(actual.LaunchBeforeSend, expected.LaunchBeforeSend);
    EXPECT_EQ(actual.LaunchOnReceive, expected.LaunchOnReceive);
    const auto& a = dynamic_cast<const TEPSNETPacket&>(actual);
    const auto& e = dynamic_cast<const TEPSNETPacket&>(expected);
    EXPECT_EQ(a.DestinationAddress, e.DestinationAddress);
    EXPECT_EQ(a.Area, e.Area);
    EXPECT_EQ(a.Address, e.Address);
    EXPECT_EQ(a.Length, e.Length);
}

// What the worker got is exactly what a fresh copy of the list's transaction would be.
void ExpectCopyOf(const TDataTransaction& actual, const TDataTransaction& listItem)
{
    const std::unique_ptr<TDataTransaction> fresh = listItem.Clone();
    EXPECT_NE(&actual, &listItem);
    const TDataTransaction& copy = *fresh;
    EXPECT_EQ(typeid(actual), typeid(copy));
    EXPECT_EQ(actual.Tag, fresh->Tag);
    ExpectSamePacket(*actual.Request, *fresh->Request);
    ExpectSamePacket(*actual.Response, *fresh->Response);
}

// What a receive handler may leave in a served copy.
void Serve(TDataTransaction& transaction)
{
    TDataPacket& request = *transaction.Request;
    request.SetData(QByteArray(10, 'v'));
    request.Valid = true;
    request.LaunchOnReceive = false;
    request.Name = QStringLiteral("changed by a handler");
    transaction.Response->LaunchBeforeSend = false;
}

} // namespace

// A worker that keeps the copy of its last turn gets that object back as the copy of the next
// repeat, renewed to exactly what a fresh copy would be, whatever a handler left in it; a spare
// that cannot renew (a packet of another class) stays with its owner and a fresh copy comes
// instead; commands come as they are, the spare untouched.
TEST(TransactionRenewal, SpareCopyBecomesTheNextRepeat)
{
    const TComThreadPtr<TIdleThread> thread = TComThread::Create<TIdleThread>(QStringLiteral("TCP:127.0.0.41:9"), false);
    thread->RList()->Add(Read(100, _epsnet_r, 0, 10));
    thread->RList()->Add(Read(200, _epsnet_x, 512, 246));
    const TDataTransaction* first = thread->RList()->LockList().Items(0);
    const TDataTransaction* second = thread->RList()->LockList().Items(1);

    std::unique_ptr<TDataTransaction> spare;
    std::unique_ptr<TDataTransaction> turn = thread->TakeNextTransaction(spare);
    ASSERT_NE(turn, nullptr);
    ExpectCopyOf(*turn, *first);

    Serve(*turn);
    spare = std::move(turn);
    const TDataTransaction* kept = spare.get();
    turn = thread->TakeNextTransaction(spare);
    EXPECT_EQ(turn.get(), kept);
    EXPECT_EQ(spare, nullptr);
    ExpectCopyOf(*turn, *second);

    turn->Request = std::make_unique<TLEPacket>();
    spare = std::move(turn);
    kept = spare.get();
    turn = thread->TakeNextTransaction(spare);
    EXPECT_EQ(spare.get(), kept);
    EXPECT_NE(turn.get(), kept);
    ExpectCopyOf(*turn, *first);

    auto command = Read(300, _epsnet_s, 4, 2);
    const TDataTransaction* commandItem = command.get();
    thread->List()->Add(std::move(command));
    turn = thread->TakeNextTransaction(spare);
    EXPECT_EQ(turn.get(), commandItem);
    EXPECT_EQ(spare.get(), kept);
    EXPECT_EQ(thread->RListCount(), 2);
}
