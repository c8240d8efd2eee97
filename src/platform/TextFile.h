#pragma once
#include "platform/Exceptions.h"
#include <QString>
#include <QStringList>

// Whole text files, read and written the way the toolkit's string lists did.

VOCATOR_DECLARE_EXCEPTION(EFOpenError, Exception)
VOCATOR_DECLARE_EXCEPTION(EFCreateError, Exception)
VOCATOR_DECLARE_EXCEPTION(EWriteError, Exception)

// Bytes to text: a byte-order mark selects UTF-8 or UTF-16 (and is dropped); without one the
// bytes are in the ANSI code page.
QString DecodeTextBytes(const QByteArray& bytes);
// The whole file decoded as above. Raises EFOpenError when it cannot be opened or read.
QString LoadTextFile(const QString& fileName);
// Lines as a string list splits them: at CR LF, LF or CR; a final line break ends the last line
// without adding an empty one.
QStringList SplitTextLines(QStringView text);
// The lines joined with CR LF after each, as a string list's text.
QString JoinTextLines(const QStringList& lines);
// Writes the text in the ANSI code page, replacing the file. Raises EFCreateError when the file
// cannot be created and EWriteError when writing fails.
void SaveTextFile(const QString& fileName, const QString& text);
