#include "app/gui/AboutBox.h"
#include "app/gui/Controls.h"
#include "app/gui/Pictures.h"
#include "errorsystem/ErrorSystem.h"
#include "platform/Paths.h"
#include "platform/VersionInfo.h"
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* ValueLabel(QWidget* owner, const QString& name)
{
    auto* label = new QLabel(owner);
    NameControl(label, name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner)
{
    NameControl(this, QStringLiteral("AboutBox"), QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About ") + GetPrgInfo(QStringLiteral("ProductName")));

    auto* icon = new QLabel(this);
    NameControl(icon, QStringLiteral("ProgramIcon"));
    icon->setPixmap(ApplicationIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);

    ProductName = ValueLabel(this, QStringLiteral("ProductName"));
    QFont big = ProductName->font();
    big.setPointSize(big.pointSize() + 6);
    big.setBold(true);
    ProductName->setFont(big);
    auto* description = ValueLabel(this, QStringLiteral("Description"));
    description->setText(GetPrgInfo(QStringLiteral("FileDescription")));

    Version = ValueLabel(this, QStringLiteral("Version"));
    QtVersion = ValueLabel(this, QStringLiteral("QtVersion"));
    IniFile = ValueLabel(this, QStringLiteral("IniFile"));
    LogFile = ValueLabel(this, QStringLiteral("LogFile"));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Version:"), Version);
    form->addRow(QStringLiteral("Qt:"), QtVersion);
    form->addRow(QStringLiteral("Ini file:"), IniFile);
    form->addRow(QStringLiteral("Log file:"), LogFile);

    auto* text = new QVBoxLayout;
    text->addWidget(ProductName);
    text->addWidget(description);
    text->addSpacing(8);
    text->addLayout(form);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(text, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    NameControl(buttons, QStringLiteral("Buttons"));
    NameControl(buttons->button(QDialogButtonBox::Ok), QStringLiteral("OKButton"), QStringLiteral("OK"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    setWindowIcon(ApplicationIcon());
    Refresh();
}

void TAboutBox::Refresh()
{
    ProductName->setText(GetPrgInfo(QStringLiteral("ProductName")));
    Version->setText(GetPrgInfo(QStringLiteral("FileVersion")));
    QtVersion->setText(QStringLiteral("%1 (built with %2)").arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR)));
    IniFile->setText(DefaultIniFileName());
    LogFile->setText(DefaultFileName());
}
