#pragma once
#include <QObject>
#include <QString>
#include <functional>

class QWidget;

// The "save as" dialog of a window. Filter is written as "Description|pattern|Description|pattern".
// A test answers it through SetAnswer instead of a user.
class TSaveDialog : public QObject {
    Q_OBJECT
public:
    // Returns the chosen file name, empty when cancelled.
    using TAnswer = std::function<QString(const TSaveDialog& dialog)>;

    explicit TSaveDialog(QWidget* owner);

    QString DefaultExt;
    QString Filter;
    QString Title;
    QString FileName;

    // True when a file was chosen; FileName holds it.
    bool Execute();
    // The filter as the toolkit's dialog writes it: "Description (pattern);;...".
    QString QtFilter() const;

    static void SetAnswer(TAnswer answer);

private:
    QWidget* FOwner;
};
