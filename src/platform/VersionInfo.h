#pragma once
#include <QString>

// The program's version values, compiled in from the build's project version: "ProductName",
// "FileVersion", "FileDescription", "ProductVersion", "InternalName", "OriginalFilename",
// "CompanyName", "LegalCopyright". Any other key gives "Unknown".
QString GetPrgInfo(const QString& Key);

// A module's identification line for the versions file:
// "$Id: <file>,v <revision> <yyyy/mm/dd> <hh:mm:ss> <author> Exp $".
QString VersionIdLine(const QString& sourceFileName);
