#include "LogTestSupport.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "errorsystem/ErrorSystem_texts.h"
#include <gtest/gtest.h>

namespace {

// A terminal named X with one item per strategy, and a destination that records what reaches it.
class ErrorTerminalTest : public LogSystemTest {
protected:
    ErrorTerminalTest()
    {
        FTerminal.setObjectName("X");
        FOnOnly = AddItem(5, 12, lgOnOnly);
        FReLog = AddItem(6, 13, lgReLog);
    }

    TErrorItem* AddItem(std::int32_t local, std::int32_t code, TLogStrategy strategy)
    {
        TErrorItem* item = FTerminal.Items().Add();
        item->SetLocalCode(local);
        item->SetErrorCode(code);
        item->SetLogStrategy(strategy);
        return item;
    }

    void Register()
    {
        FDestination = std::make_unique<TErrorDestination>();
        FDestination->SetNextLogID(100);
        FDestination->OnActivateItem = [this](QObject*, TErrorItem* item, std::int32_t logId, std::int32_t& result) {
            FEvents.append(QStringLiteral("on %1 %2 %3").arg(item->ErrorCode()).arg(logId).arg(item->Message()));
            result = 77;
        };
        FDestination->OnDeactivateItem = [this](QObject*, TErrorItem* item, std::int32_t logId, std::int32_t& result) {
            FEvents.append(QStringLiteral("off %1 %2").arg(item->ErrorCode()).arg(logId));
            result = 88;
        };
    }


    TErrorTerminal FTerminal;
    TErrorItem* FOnOnly = nullptr;
    TErrorItem* FReLog = nullptr;
    std::unique_ptr<TErrorDestination> FDestination;
    QStringList FEvents;
};

} // namespace

TEST_F(ErrorTerminalTest, UnknownLocalCodeFollowsTheTerminalPolicy)
{
    EXPECT_EQ(RaisedMessage([&] { FTerminal.ActivateByLCode(7, "m", 0, ""); }),
              "ErrorSystem internal: No local code was found. (CompName: X; LocalCode: 7)");
    FTerminal.SetInternalErrors(seHide);
    EXPECT_EQ(FTerminal.ActivateByLCode(7, "m", 0, ""), NoValue);
}

TEST_F(ErrorTerminalTest, OneShotItemsReportAndAreOffAgain)
{
    Register();
    EXPECT_EQ(FTerminal.ActivateByLCode(5, "Comp (TCP:host)", 3, "data"), 77);
    EXPECT_FALSE(FOnOnly->Active());
    EXPECT_EQ(FOnOnly->LogID(), NoLogID);
    EXPECT_EQ(FOnOnly->SubCode, 3);
    EXPECT_EQ(FOnOnly->Data, "data");
    EXPECT_GT(FOnOnly->StartDate(), 0);
    // Off already: switching off changes nothing; a direct deactivation reports -1001.
    EXPECT_EQ(FTerminal.DeactivateByLCode(5), 77);
    EXPECT_EQ(RaisedMessage([&] { FOnOnly->SendDeactivate(); }),
              "ErrorSystem internal: Cannot send deactivate request while Item was not activated.");
    EXPECT_EQ(FEvents, QStringList({"on 12 100 Comp (TCP:host)"}));
}

TEST_F(ErrorTerminalTest, LastingItemsKeepTheirLogIdUntilSwitchedOff)
{
    Register();
    int before = 0;
    int after = 0;
    FTerminal.OnBeforeActivateBy = [&](TErrorTerminal*, TErrorItem*) { ++before; };
    FTerminal.OnAfterActivateBy = [&](TErrorTerminal*, TErrorItem* item) { after += item->Active() ? 1 : 0; };
    EXPECT_EQ(FTerminal.ActivateByLCode(6, "first", 0, ""), 77);
    EXPECT_TRUE(FReLog->Active());
    EXPECT_EQ(FReLog->LogID(), 100);
    // The same state again reaches nobody; changing the code of an active item is refused.
    FTerminal.ActivateByLCode(6, "again", 0, "");
    EXPECT_EQ(RaisedMessage([&] { FReLog->SetErrorCode(14); }), "ErrorSystem internal: Cannot change property, Item is active.");
    EXPECT_EQ(FReLog->ErrorCode(), 13);
    EXPECT_EQ(FTerminal.DeactivateByLCode(6), 88);
    EXPECT_FALSE(FReLog->Active());
    EXPECT_EQ(FReLog->LogID(), NoLogID);
    EXPECT_EQ(FEvents, QStringList({"on 13 100 first", "off 13 100"}));
    EXPECT_EQ(before, 2);
    EXPECT_EQ(after, 2);

    FReLog->SetInternalErrors(seHide);
    FTerminal.ActivateByLCode(6, "", 0, "");
    FReLog->SetErrorCode(14);
    EXPECT_EQ(FReLog->ErrorCode(), 14);
    FTerminal.DeactivateAllErrors();
    EXPECT_FALSE(FReLog->Active());
}

TEST_F(ErrorTerminalTest, DisabledTerminalAndDisabledItem)
{
    Register();
    FTerminal.SetEnabled(false);
    EXPECT_EQ(FReLog->SendActivate(), NoValue);
    EXPECT_EQ(FReLog->LogID(), TempLogID);
    EXPECT_EQ(FReLog->SendDeactivate(), NoValue);
    EXPECT_EQ(FTerminal.ActivateByLCode(6, "", 0, ""), FReLog->LastResult());
    EXPECT_TRUE(FEvents.isEmpty());

    // Once enabled again, switching off reaches the destination with the temporary log ID.
    FTerminal.SetEnabled(true);
    FTerminal.DeactivateAllErrors();
    EXPECT_EQ(FEvents, QStringList({"off 13 -2"}));
    FEvents.clear();
    FOnOnly->SetEnabled(false);
    int before = 0;
    FTerminal.OnBeforeActivateBy = [&](TErrorTerminal*, TErrorItem*) { ++before; };
    FTerminal.ActivateByLCode(5, "stored", 9, "kept");
    EXPECT_FALSE(FOnOnly->Active());
    EXPECT_EQ(FOnOnly->Message(), "stored");
    EXPECT_EQ(FOnOnly->SubCode, 9);
    EXPECT_EQ(before, 1);
    EXPECT_TRUE(FEvents.isEmpty());
}

TEST_F(ErrorTerminalTest, DestinationRegistrationAndRunTimeErrors)
{
    EXPECT_EQ(RaisedMessage([&] { FTerminal.ActivateByLCode(5, "", 0, ""); }), "ErrorSystem internal: Destination was not found.");
    EXPECT_EQ(RaisedMessage([&] { DoRunTimeError(1, "text"); }), "ErrorSystem internal: Destination was not found.");
    Register();
    EXPECT_EQ(RaisedMessage([&] { TErrorDestination second; }), "ErrorSystem internal: Destination is already registered.");
    EXPECT_EQ(GetErrorDestination(), FDestination.get());
    EXPECT_EQ(DoRunTimeError(42, "run-time"), 77);
    EXPECT_EQ(FEvents.last(), "on 42 100 run-time");
    FDestination.reset();
    EXPECT_THROW(GetErrorDestination(), Exception);
}

TEST_F(ErrorTerminalTest, PoliciesOfInternalErrors)
{
    DoInternalError(-1004, seHide, "");
    DoInternalError(-1004, seWriteToDefaultFile, "");
    EXPECT_EQ(AfterTimeStamp(FileLines(LogFile()).value(0)), "ErrorSystem internal: Cannot change property, Item is active.");
    EXPECT_EQ(RaisedMessage([] { DoInternalError(-1005, seRaise, "(a)"); }), "ErrorSystem internal: No local code was found. (a)");
    EXPECT_EQ(RaisedMessage([] { DoInternalError(-1005, seLog, "(a)"); }), "ErrorSystem internal: Destination was not found.");
}

TEST_F(ErrorTerminalTest, DisplayNamesAndCopies)
{
    EXPECT_EQ(FOnOnly->GetDisplayName(), "E12: L5 (0x0005) -  (not exists)");
    FOnOnly->SetErrorCode(-1003);
    FOnOnly->SetLocalCode(-1);
    EXPECT_EQ(FOnOnly->GetDisplayName(), "E-1003: L-1 (0xFFFFFFFF) - ErrorSystem internal: Destination was not found.");

    FReLog->SetMessage("copied");
    FReLog->SetInternalErrors(seHide);
    FReLog->SubCode = 4;
    TErrorTerminal copy;
    copy.SetItems(FTerminal.Items());
    ASSERT_EQ(copy.Items().Count(), 2);
    TErrorItem* item = copy.Items().Items(1);
    EXPECT_EQ(item->LocalCode(), 6);
    EXPECT_EQ(item->ErrorCode(), 13);
    EXPECT_EQ(item->LogStrategy(), lgReLog);
    EXPECT_EQ(item->Message(), "copied");
    EXPECT_EQ(item->InternalErrors(), seRaise);
    EXPECT_EQ(item->SubCode, 0);
    EXPECT_EQ(copy.FindErrorItemFromECode(13), item);
    EXPECT_EQ(copy.FindErrorItemFromLCode(99), nullptr);
}
