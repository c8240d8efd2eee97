#pragma once
#include "platform/CodePage.h"
#include <QString>
#include <functional>

// The PLC's PUB file comes from the PLC's own web server, never from disk: a login page that sets
// the challenge cookie "SoftPLC", a login form answered with the SHA-1 of challenge and password,
// then the file itself.

constexpr int PubFileHttpPort = 80;
constexpr int PubFileTimeOut = 90000;
// A PLC's PUB file is a few hundred KiB at most; anything larger is not one, and must not fill
// the memory of an unattended program.
constexpr qsizetype PubFileMaxBodySize = qsizetype(16) * 1024 * 1024;

// Logs in to the web server at PLCIPAddress:HttpPort and returns the text of "/" + FileName,
// decoded (a byte-order mark selects UTF-8 or UTF-16, otherwise CodePage) and re-joined with
// CR LF after every line. User, Password and the login body go through CodePage too.
// TimeOut bounds each of the three requests, in milliseconds.
// Raises EEPSNETException when the server cannot be reached, a request takes longer than
// TimeOut, the file request answers anything but a 2xx status, the file is empty, or a body
// exceeds PubFileMaxBodySize. Safe to call from any thread.
// Cancelled, when given, is asked about once a second while a request waits: when it answers
// true the exchange stops and raises, so that a stalled server does not hold a thread that has
// to end.
QString GetPubFile(const QString& PLCIPAddress, const QString& User, const QString& Password,
                   const QString& FileName, const TCodePage& CodePage, int HttpPort = PubFileHttpPort,
                   int TimeOut = PubFileTimeOut, const std::function<bool()>& Cancelled = {});

// The text of a PUB file's bytes: a byte-order mark selects UTF-8 or UTF-16 (and is dropped),
// otherwise the bytes are in CodePage.
QString DecodePubFileBytes(const QByteArray& bytes, const TCodePage& CodePage);

// The login form's answer: the SHA-1 of Challenge followed by Password (in CodePage), as 40
// upper-case hexadecimal digits.
QByteArray PubFileLoginAnswer(const QByteArray& Challenge, const QString& Password, const TCodePage& CodePage);
