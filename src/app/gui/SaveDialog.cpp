#include "app/gui/SaveDialog.h"
#include <QFileDialog>
#include <QFileInfo>

namespace {

TSaveDialog::TAnswer& Answer()
{
    static TSaveDialog::TAnswer answer;
    return answer;
}

QString RunFileDialog(const TSaveDialog& dialog, QWidget* owner)
{
    QFileDialog fileDialog(owner, dialog.Title, dialog.FileName, dialog.QtFilter());
    fileDialog.setAcceptMode(QFileDialog::AcceptSave);
    fileDialog.setFileMode(QFileDialog::AnyFile);
    QString suffix = dialog.DefaultExt;
    if (suffix.startsWith(u'.'))
        suffix.remove(0, 1);
    fileDialog.setDefaultSuffix(suffix);
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty())
        return QString();
    return fileDialog.selectedFiles().constFirst();
}

} // namespace

TSaveDialog::TSaveDialog(QWidget* owner) : QObject(owner), FOwner(owner) {}

QString TSaveDialog::QtFilter() const
{
    const QStringList parts = Filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i] + QStringLiteral(" (") + QString(parts[i + 1]).replace(u';', u' ') + u')';
    return filters.join(QStringLiteral(";;"));
}

bool TSaveDialog::Execute()
{
    const QString chosen = Answer() ? Answer()(*this) : RunFileDialog(*this, FOwner);
    if (chosen.isEmpty())
        return false;
    FileName = chosen;
    return true;
}

void TSaveDialog::SetAnswer(TAnswer answer) { Answer() = std::move(answer); }
