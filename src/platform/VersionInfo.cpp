#include "platform/VersionInfo.h"
#include "VersionInfo.h.generated"
#include <QHash>

QString GetPrgInfo(const QString& Key)
{
    static const QHash<QString, QString> values = {
        {QStringLiteral("ProductName"), QStringLiteral(VOCATOR_PRODUCT_NAME)},
        {QStringLiteral("FileVersion"), QStringLiteral(VOCATOR_FILE_VERSION)},
        {QStringLiteral("ProductVersion"), QStringLiteral(VOCATOR_FILE_VERSION)},
        {QStringLiteral("FileDescription"), QStringLiteral(VOCATOR_FILE_DESCRIPTION)},
        {QStringLiteral("InternalName"), QStringLiteral("vocator")},
        {QStringLiteral("OriginalFilename"), QStringLiteral("vocator")},
        {QStringLiteral("CompanyName"), QStringLiteral(VOCATOR_PRODUCT_NAME)},
        {QStringLiteral("LegalCopyright"), QStringLiteral(VOCATOR_PRODUCT_NAME " developers")},
    };
    const QString value = values.value(Key);
    return value.isEmpty() ? QStringLiteral("Unknown") : value;
}

QString VersionIdLine(const QString& sourceFileName)
{
    return QStringLiteral("$Id: %1,v %2 %3 %4 %5 Exp $")
        .arg(sourceFileName, QStringLiteral(VOCATOR_FILE_VERSION), QStringLiteral(VOCATOR_BUILD_DATE),
             QStringLiteral(VOCATOR_BUILD_TIME), QStringLiteral("vocator"));
}
