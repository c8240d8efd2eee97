#include "common/kxtools.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include "TestSupport.h"
#include <QFile>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

class TReadingComponent : public TExComponent {
public:
    using TExComponent::TExComponent;
    void ReadFromIni(TIniFile& ini) override { Value = ini.ReadString(IniFileSection(), "Key", "none"); }
    QString Value;
};

QString ThreadNameOf(std::uint32_t threadId)
{
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(threadId));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
}

// Restores an environment variable when the test ends.
class TEnvironmentGuard {
public:
    explicit TEnvironmentGuard(const char* name) : FName(name), FHad(qEnvironmentVariableIsSet(name)), FValue(qgetenv(name)) {}
    ~TEnvironmentGuard()
    {
        if (FHad)
            qputenv(FName, FValue);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    bool FHad;
    QByteArray FValue;
};

} // namespace

// The component is a QObject of its own class name, owned by its owner; Loaded gives an empty
// section the object name and keeps one that was set.
TEST(KxToolsClasses, ExComponentLoadedRule)
{
    QObject owner;
    auto* named = new TExComponent(&owner);
    EXPECT_STREQ(named->metaObject()->className(), "TExComponent");
    EXPECT_EQ(named->parent(), &owner);
    named->setObjectName("PLC");
    EXPECT_EQ(named->IniFileSection(), "");
    named->Loaded();
    EXPECT_EQ(named->IniFileSection(), "PLC");
    named->setObjectName("Renamed");
    named->Loaded();
    EXPECT_EQ(named->IniFileSection(), "PLC");

    auto* preset = new TExComponent(&owner);
    preset->setObjectName("Comm");
    preset->setProperty("IniFileSection", "Line");
    preset->Loaded();
    EXPECT_EQ(preset->IniFileSection(), "Line");

    auto* nameless = new TExComponent(&owner);
    nameless->Loaded();
    EXPECT_EQ(nameless->IniFileSection(), "");
    EXPECT_EQ(owner.children().size(), 3);
}

// ReadFromIni is the descendants' hook: the base reads nothing, a descendant reads its section.
TEST(KxToolsClasses, ExComponentReadsItsSection)
{
    TestSupport::TTempDir dir;
    TestSupport::WriteFileBytes(dir.File("v.ini"), "[PLC]\nKey=value\n");
    TIniFile ini(dir.File("v.ini"));

    TExComponent base(nullptr);
    base.ReadFromIni(ini);

    TReadingComponent reader(nullptr);
    reader.setObjectName("plc");
    reader.Loaded();
    TExComponent& asBase = reader;
    asBase.ReadFromIni(ini);
    EXPECT_EQ(reader.Value, "value");
}

// A list owned by a pointer list knows its index there and leaves it when destroyed, taking
// only the first occurrence; a list owned by an object has no index.
TEST(KxToolsClasses, OwnListLeavesItsOwner)
{
    TPointerList owner;
    auto a = std::make_unique<TOwnList>(&owner);
    auto b = std::make_unique<TOwnList>(&owner);
    auto c = std::make_unique<TOwnList>(&owner);
    for (TOwnList* list : {a.get(), b.get(), c.get(), b.get()})
        owner.Add(list);
    EXPECT_EQ(a->Index(), 0);
    EXPECT_EQ(b->Index(), 1);
    EXPECT_EQ(c->Index(), 2);
    EXPECT_EQ(b->OwnerList(), &owner);
    EXPECT_EQ(b->OwnerObject(), nullptr);

    TOwnList* const bAddress = b.get();
    b.reset();
    ASSERT_EQ(owner.Count(), 3);
    EXPECT_EQ(owner.Items(0), a.get());
    EXPECT_EQ(owner.Items(1), c.get());
    EXPECT_EQ(owner.Items(2), bAddress);
    EXPECT_EQ(c->Index(), 1);
    owner.Delete(2);

    a.reset();
    c.reset();
    EXPECT_EQ(owner.Count(), 0);

    // A list of lists: the nested list leaves its owning TOwnList.
    TOwnList outer;
    {
        TOwnList inner(static_cast<TPointerList*>(&outer));
        outer.Add(&inner);
        EXPECT_EQ(inner.Index(), 0);
    }
    EXPECT_EQ(outer.Count(), 0);

    QObject object;
    {
        TOwnList byObject(&object);
        EXPECT_EQ(byObject.OwnerObject(), &object);
        EXPECT_EQ(byObject.Index(), -1);
    }
    EXPECT_EQ(outer.Index(), -1);
}

// SafeFirst and SafeLast give null for an empty list where First and Last raise.
TEST(KxToolsClasses, OwnListItems)
{
    TOwnList list;
    EXPECT_EQ(list.SafeFirst(), nullptr);
    EXPECT_EQ(list.SafeLast(), nullptr);
    EXPECT_THROW(list.First(), EListError);
    EXPECT_THROW(list.Items(-1), EListError);

    int x = 1, y = 2, z = 3;
    list.Add(&x);
    EXPECT_EQ(list.SafeFirst(), &x);
    EXPECT_EQ(list.SafeLast(), &x);
    list.Add(&y);
    list.Insert(2, &z);
    list.Insert(0, &z);
    EXPECT_EQ(list.SafeFirst(), &z);
    EXPECT_EQ(list.SafeLast(), &z);
    EXPECT_EQ(list.Remove(&z), 0);
    EXPECT_EQ(list.IndexOf(&z), 2);
    EXPECT_EQ(list.Remove(&list), -1);
    EXPECT_THROW(list.Items(3), EListError);
    EXPECT_THROW(list.Insert(4, &x), EListError);
    list.Tag = -7;
    EXPECT_EQ(list.Tag, -7);
    list.Clear();
    EXPECT_EQ(list.SafeLast(), nullptr);
}

// Only the upper-case macros are replaced, each by its folder without the trailing "/"; the
// rest of the text stays as it is.
TEST(KxToolsClasses, ParsePathMacros)
{
    TEnvironmentGuard guard("TMPDIR");
    qputenv("TMPDIR", "/var/spool/vocator-tmp/");
    EXPECT_EQ(GetTempPathForSystem(), "/var/spool/vocator-tmp/");

    const QString app = ExecutableDir();
    ASSERT_FALSE(app.isEmpty());
    const struct {
        const char* path;
        QString expected;
    } cases[] = {
        {"($APPLICATION$)/say", app + "/say"},
        {"($APLIKACE$)/say", app + "/say"},
        {"($TEMP$)/voice.wav", "/var/spool/vocator-tmp/voice.wav"},
        {"($application$)/say", "($application$)/say"},
        {"($Temp$)/x", "($Temp$)/x"},
        {"say", "say"},
        {"./bin/say --rate 2", "./bin/say --rate 2"},
        {"$HOME/say", "$HOME/say"},
        {"($APPLICATION$):($APLIKACE$):($TEMP$)", app + ":" + app + ":/var/spool/vocator-tmp"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePath(c.path), c.expected) << c.path;

    qputenv("TMPDIR", "/");
    EXPECT_EQ(ParsePath("($TEMP$)/x"), "/x");
    qunsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathForSystem(), "/tmp/");
    EXPECT_EQ(ParsePath("($TEMP$)/x"), "/tmp/x");
}

// The calling thread gets the name; a name too long for the kernel is cut, and nothing throws.
TEST(KxToolsClasses, SetThreadNameNamesTheCallingThread)
{
    EXPECT_EQ(TThreadNameInfo().FType, 0x1000u);
    EXPECT_EQ(TThreadNameInfo().FThreadID, 0xFFFFFFFFu);

    QString shortName, longName;
    std::thread worker([&] {
        SetThreadName("Worker");
        shortName = ThreadNameOf(CurrentThreadId());
        SetThreadName(QString(40, u'x'));
        longName = ThreadNameOf(CurrentThreadId());
        SetThreadName(QString());
    });
    worker.join();
    EXPECT_EQ(shortName, "Worker");
    EXPECT_EQ(longName, QString(15, u'x'));
}
