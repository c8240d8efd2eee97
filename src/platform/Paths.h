#pragma once
#include <QString>

// Full path of the running executable ("/" separated).
QString ExecutablePath();
// Its folder, without a trailing separator.
QString ExecutableDir();
// The file name with its extension (the part after the last dot of the last path segment)
// replaced by ext, which includes its dot; a name without extension gets ext appended.
QString ChangeFileExt(const QString& fileName, const QString& ext);
// The program's ini file: the executable's path with the extension ".ini".
QString DefaultIniFileName();
// $TMPDIR, or /tmp, always with a trailing "/".
QString TempPath();
// The folder part of a path including its trailing "/", empty when it has none.
QString ExtractFilePath(const QString& fileName);
QString ExtractFileName(const QString& fileName);
