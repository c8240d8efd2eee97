#include "LogTestSupport.h"
#include "errorsystem/JCLAutoException.h"
#include "errorsystem/ErrorSystem_terminal.h"
#include "platform/ApplicationEvents.h"
#include "platform/Paths.h"
#include "platform/StackTrace.h"
#include "platform/Timer.h"
#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <algorithm>

using TestSupport::WaitUntil;

namespace {

VOCATOR_DECLARE_EXCEPTION(ETestFailure, Exception)

// The window "Main" under the nameless application, with the exception capture the program has.
class ExceptionCaptureTest : public LogSystemTest {
protected:
    ExceptionCaptureTest() : FMain(new QObject(QCoreApplication::instance())), FCapture(*new TJCLAutoExceptionErrorLog(FMain))
    {
        FMain->setObjectName("Main");
        FCapture.setObjectName("ExceptionLog");
        FCapture.SetFileName(LogFile());
        FCapture.Loaded();
    }
    ~ExceptionCaptureTest() override { delete FMain; }

    // Raises the exception in a handler of Main.Button1 that the event loop runs, and serves
    // events until the capture has seen it.
    void RaiseInHandler(const QString& message)
    {
        QObject* button = new QObject(FMain);
        button->setObjectName("Button1");
        bool seen = false;
        FCapture.SetOnUnHandledException([&](QObject*, const Exception*) { seen = true; });
        QTimer::singleShot(0, button, [message] { throw ETestFailure(message); });
        EXPECT_TRUE(WaitUntil([&] { return seen; }));
        FCapture.SetOnUnHandledException(nullptr);
        delete button;
    }

    static bool IsStackLine(const QString& line) { return AfterTimeStamp(line).startsWith("\t\t"); }
    qsizetype StackLineCount() const
    {
        const QStringList lines = FileLines(LogFile());
        return std::count_if(lines.begin(), lines.end(), IsStackLine);
    }

    QObject* FMain;
    // Owned by Main, as on the main window.
    TJCLAutoExceptionErrorLog& FCapture;
};

} // namespace

// An exception in a button handler gives the error line with the last command, the sender's class
// and owner path and the message on one physical line, then the raising stack after three TABs;
// the memos of index 1 get the same lines.
TEST_F(ExceptionCaptureTest, LogsErrorLineAndStackOfTheRaise)
{
    TTestMemo memo(1);
    RegisterMemo(&memo);
    FCapture.SetLogToMemo(true);
    FCapture.SetLogMemoIndex(1);
    ApplicationEvents::NotifyActionExecute("actStart");
    const QString command = FCapture.TAText();
    EXPECT_TRUE(command.startsWith("actStart (")) << qPrintable(command);

    TTimer* timer = new TTimer(FMain, "Timer1");
    timer->SetInterval(1);
    timer->OnTimer = [](QObject* sender) {
        static_cast<TTimer*>(sender)->SetEnabled(false);
        throw ETestFailure("bad\r\nvalue\nhere");
    };
    ASSERT_TRUE(WaitUntil([&] { return StackLineCount() > 0; }));
    UnregisterMemo(&memo);

    const QStringList lines = FileLines(LogFile());
    const QString errorLine = "Chyba:\tAkce(" + command + ")\tPuvod(TTimer: .Main.Timer1)\t zneni: \"ETestFailure-> bad value\nhere\"";
    const QString written = lines.join("\r\n");
    EXPECT_EQ(AfterTimeStamp(written.left(written.indexOf("\r\n"))), errorLine);
    EXPECT_EQ(FCapture.LastExceptionMessage(), "ETestFailure-> bad\r\nvalue\nhere");
    EXPECT_EQ(FCapture.LastObjectOfException(), timer);
    // The stack begins at the raising handler and runs through this test.
    const QStringList stack = lines.mid(1);
    ASSERT_FALSE(stack.isEmpty());
    EXPECT_TRUE(stack.at(0).contains("LogsErrorLineAndStackOfTheRaise_Test::TestBody()::{lambda")) << qPrintable(written);
    EXPECT_FALSE(stack.filter("ExceptionCaptureTest.cpp").isEmpty()) << qPrintable(written);

    ASSERT_GE(memo.Lines().size(), 2);
    EXPECT_EQ(memo.Lines().at(0), HumanString(errorLine.toUtf8()));
    EXPECT_TRUE(memo.Lines().at(1).startsWith("\t\t"));
    EXPECT_EQ(memo.Lines().size() - 1, StackLineCount());
}

// Before any named command ran, the command part is empty; a command without name changes nothing.
TEST_F(ExceptionCaptureTest, NoCommandYetGivesEmptyAkce)
{
    ApplicationEvents::NotifyActionExecute(QString());
    RaiseInHandler("first");
    EXPECT_TRUE(AfterTimeStamp(FileLines(LogFile()).value(0)).startsWith("Chyba:\tAkce()\tPuvod(QObject: .Main.Button1)\t"));
}

// A HandleException callback that takes the exception over suppresses the line, the stack and the
// unhandled-exception callback.
TEST_F(ExceptionCaptureTest, HandleExceptionTakesItOver)
{
    QObject* handledSender = nullptr;
    FCapture.SetHandleException([&](QObject* sender, const Exception*& error) {
        handledSender = sender;
        error = nullptr;
    });
    bool unhandled = false;
    FCapture.SetOnUnHandledException([&](QObject*, const Exception*) { unhandled = true; });
    QTimer::singleShot(0, FMain, [] { throw ETestFailure("taken over"); });
    EXPECT_TRUE(WaitUntil([&] { return handledSender != nullptr; }));
    TestSupport::ServeEventsFor(20);

    EXPECT_EQ(handledSender, &FCapture);
    EXPECT_FALSE(unhandled);
    EXPECT_TRUE(LogBytes().isEmpty());
    EXPECT_EQ(FCapture.LastExceptionMessage(), "ETestFailure-> taken over");
}

// Disabled, the capture logs nothing but still records the exception and calls OnUnHandledException.
TEST_F(ExceptionCaptureTest, DisabledStillCallsOnUnHandledException)
{
    FCapture.SetEnabled(false);
    bool handleCalled = false;
    FCapture.SetHandleException([&](QObject*, const Exception*&) { handleCalled = true; });
    RaiseInHandler("quiet");
    EXPECT_FALSE(handleCalled);
    EXPECT_TRUE(LogBytes().isEmpty());
    EXPECT_EQ(FCapture.LastExceptionMessage(), "ETestFailure-> quiet");
}

// StackListItemCount bounds the stack lines: none for 0, at most five for 5, all for -1.
TEST_F(ExceptionCaptureTest, StackListItemCountBoundsTheStack)
{
    const struct {
        int itemCount;
        qsizetype fewest, most;
    } cases[] = {{0, 0, 0}, {5, 5, 5}, {-1, 6, TRawStack::MaxFrames}};
    for (const auto& c : cases) {
        QFile::remove(LogFile());
        FCapture.SetStackListItemCount(c.itemCount);
        RaiseInHandler("counted");
        const QStringList lines = FileLines(LogFile());
        ASSERT_FALSE(lines.isEmpty()) << c.itemCount;
        EXPECT_TRUE(AfterTimeStamp(lines.at(0)).startsWith("Chyba:")) << c.itemCount;
        EXPECT_GE(StackLineCount(), c.fewest) << c.itemCount;
        EXPECT_LE(StackLineCount(), c.most) << c.itemCount;
        EXPECT_EQ(StackLineCount(), lines.size() - 1) << c.itemCount;
    }
}

// Run-time errors without a destination end in a log line instead of escaping into the event loop.
TEST_F(ExceptionCaptureTest, RunTimeErrorWithoutDestinationIsLogged)
{
    FCapture.SetRunTimeErrorEnabled(true);
    FCapture.SetStackListItemCount(0);
    RaiseInHandler("with run-time error");
    const QStringList lines = FileLines(LogFile());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(AfterTimeStamp(lines.at(1)), "Udalost:\t\"Exception-> ErrorSystem internal: Destination was not found.\"");

    int reportedCode = 0;
    QString reportedText;
    {
        TErrorDestination destination;
        destination.OnActivateItem = [&](QObject*, TErrorItem* item, std::int32_t, std::int32_t& result) {
            reportedCode = item->ErrorCode();
            reportedText = item->Message();
            result = 0;
        };
        FCapture.SetRunTimeErrorCode(42);
        RaiseInHandler("to the destination");
    }
    EXPECT_EQ(reportedCode, 42);
    EXPECT_EQ(reportedText, "ETestFailure-> to the destination");
}

// An error line without source is an event line; owner paths run from the root down.
TEST_F(ExceptionCaptureTest, EventLinesAndObjectPaths)
{
    FCapture.WriteToErrorFile(nullptr, "text\r\nwith break");
    EXPECT_EQ(AfterTimeStamp(FileLines(LogFile()).value(0)), "Udalost:\t\"text with break\"");

    QObject loose;
    loose.setObjectName("Loose");
    QObject unnamed(&loose);
    QObject leaf(&unnamed);
    leaf.setObjectName("Leaf");
    QObject* button = new QObject(FMain);
    button->setObjectName("Button1");
    EXPECT_EQ(TAutoExceptionErrorLog::GetObjectPath(nullptr), "");
    EXPECT_EQ(TAutoExceptionErrorLog::GetObjectPath(&loose), "Loose");
    EXPECT_EQ(TAutoExceptionErrorLog::GetObjectPath(&leaf), "Loose..Leaf");
    EXPECT_EQ(TAutoExceptionErrorLog::GetObjectPath(button), ".Main.Button1");
}

// Loaded puts a bare file name beside the executable and leaves names with a folder alone.
TEST_F(ExceptionCaptureTest, LoadedPlacesBareNamesBesideTheExecutable)
{
    const struct {
        QString given, used;
    } cases[] = {
        {"errors.log", ExecutableDir() + "/errors.log"},
        {"logs/errors.log", "logs/errors.log"},
        {"/var/log/errors.log", "/var/log/errors.log"},
        {"", ""},
    };
    for (const auto& c : cases) {
        TAutoExceptionErrorLog capture;
        capture.SetFileName(c.given);
        capture.Loaded();
        EXPECT_EQ(capture.FileName(), c.used) << qPrintable(c.given);
    }
    EXPECT_EQ(TAutoExceptionErrorLog().FileName(), LogFile());
}
