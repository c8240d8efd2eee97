// Feeds arbitrary text to the import of category trees: the result is 0 or one of the three
// structure errors, never a crash; a tree read without error exports and reads back the same
// when its names hold no characters that the format cannot carry.
#include "errorsystem/ErrorSystem.h"
#include "errorsystem/ErrorSystem_categories.h"
#include <cstdint>
#include <cstdlib>

namespace {

// Names with quotes, angle brackets or an escaped quote, or with blanks or control characters at
// an end (the import trims parameters), do not survive a round trip.
bool Portable(const TCategoriesStructure& c)
{
    const QString& name = c.CategoryName();
    if (name.contains(u'"') || name.contains(u'<') || name.contains(u'>') || name.contains(QStringLiteral("&#34;")))
        return false;
    for (const QChar ch : name)
        if (ch.unicode() < u' ')
            return false;
    for (int i = 0; i < c.Count(); ++i)
        if (!Portable(*c.SubCategory(i)))
            return false;
    return true;
}

QString Describe(const TCategoriesStructure& c)
{
    QString text = c.CategoryName() + u'\x1F' + QString::number(c.ImageIndex()) + u'[';
    for (int i = 0; i < c.Data().Count(); ++i)
        text += QString::number(c.Data().Items(i)) + u' ';
    for (int i = 0; i < c.Count(); ++i)
        text += Describe(*c.SubCategory(i));
    return text + u']';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartLogSystem();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TCategoriesStructure root;
    const std::int32_t result = root.ImportFromXML(text);
    if (result != 0 && result != -1100 && result != -1103 && result != -1104)
        std::abort();
    if (!Portable(root))
        return 0;
    QString exported;
    root.ExportToXML(exported);
    TCategoriesStructure copy;
    if (copy.ImportFromXML(exported) != 0 || Describe(copy) != Describe(root))
        std::abort();
    return 0;
}
