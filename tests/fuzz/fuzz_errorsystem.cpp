// Feeds arbitrary bytes to the tag tokenizer and to the import of error-text files: every input
// ends in 0, one of the three structure errors or an exception of ours, never a crash or a read
// out of bounds; codes stay unique, and an exported list reads back the same.
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/ErrorSystem_texts.h"
#include "errorsystem/HTMLParser.h"
#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <unistd.h>

namespace {

// Files in memory where the machine has such a folder: the import reads a file per input.
QString WorkFile(const char* name)
{
    const QString folder = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return folder + QStringLiteral("/vocator-fuzz-%1-%2").arg(getpid()).arg(name);
}

void WalkTags(const QString& text)
{
    THtmlParser parser(text);
    qsizetype last = 0;
    while (parser.NextTag()) {
        const TTag* tag = parser.GetTag();
        // The position only moves forward and the tag lies inside the text.
        if (!tag || parser.Position() <= last || tag->Text().size() >= text.size())
            std::abort();
        last = parser.Position();
        if (tag->NameLength() < 64)
            (void)tag->GetName();
        const QStringList params = tag->Params().List();
        for (const QString& param : params)
            if (param.isEmpty() || param.front().unicode() <= u' ' || param.back().unicode() <= u' ')
                std::abort();
        // Shared pieces give exactly what splitting the tag on its own gives.
        const QStringView own = tag->Text();
        const QStringView rest = tag->NameLength() < own.size() ? own.mid(tag->NameLength() + 1) : QStringView();
        if (params != SplitTagParams(rest))
            std::abort();
    }
}

bool IsImportResult(std::int32_t result) { return result == 0 || result == -1100 || result == -1103 || result == -1104; }

void CheckUniqueCodes(const TErrorTextList& list)
{
    std::set<std::int32_t> codes;
    for (int i = 0; i < list.Items().Count(); ++i)
        if (!codes.insert(list.Items().Items(i)->ErrorCode()).second)
            std::abort();
}

void ImportFile(const QByteArray& bytes)
{
    const QString input = WorkFile("input.xml");
    QFile file(input);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return;
    file.close();

    TErrorTextList list;
    list.SetInternalErrors(seHide);
    try {
        if (!IsImportResult(list.ImportFromXML(input)))
            std::abort();
    } catch (const Exception&) {
        // A used error code stops an import with our exception; that is a valid outcome.
    }
    CheckUniqueCodes(list);

    // What was read exports and reads back with the same codes, unless a text holds an angle
    // bracket, which the format cannot carry.
    for (int i = 0; i < list.Items().Count(); ++i) {
        const QString text = list.Items().Items(i)->Text();
        if (text.contains(u'<') || text.contains(u'>'))
            return;
    }
    const QString exported = WorkFile("exported.xml");
    list.ExportToXML(exported);
    std::vector<std::int32_t> before;
    for (int i = 0; i < list.Items().Count(); ++i)
        before.push_back(list.Items().Items(i)->ErrorCode());
    if (list.ImportFromXML(exported) != 0 || list.Items().Count() != static_cast<int>(before.size()))
        std::abort();
    for (size_t i = 0; i < before.size(); ++i)
        if (list.Items().Items(static_cast<int>(i))->ErrorCode() != before[i])
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartLogSystem();
    SetDefaultFileName(WorkFile("log.txt"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    WalkTags(QString::fromLatin1(bytes));
    ImportFile(bytes);
    return 0;
}
