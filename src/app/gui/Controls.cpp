#include "app/gui/Controls.h"
#include <QWidget>

void NameComponent(QObject* component, const QString& name) { component->setObjectName(name); }

void NameControl(QWidget* control, const QString& name, const QString& caption)
{
    control->setObjectName(name);
    QString accessible = caption;
    accessible.remove(u'&');
    control->setAccessibleName(accessible.isEmpty() ? name : accessible);
}
