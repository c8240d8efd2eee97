#pragma once
#include <QString>

class QObject;
class QWidget;

// Gives a component its name (the object name tests and the exception log use) and, for a
// control, the accessible name screen readers and test tools find it by: the caption, or the
// component name where it has none.
void NameComponent(QObject* component, const QString& name);
void NameControl(QWidget* control, const QString& name, const QString& caption = QString());
