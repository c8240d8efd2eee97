#pragma once
#include "../comm/QtPrinters.h"
#include "epsnet/kxEPSNET_frames.h"
#include <QByteArray>
#include <QString>
#include <exception>
#include <functional>
#include <initializer_list>

// Bytes written as numbers, as the examples give them.
inline QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int value : values)
        result.append(static_cast<char>(value));
    return result;
}

// Runs call and gives "<class>: <message>" of the exception of the system that it raised.
inline QString ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const Exception& e) {
        return e.ClassName() + QStringLiteral(": ") + e.Message();
    }
    return QStringLiteral("<no exception>");
}

// The characters of a literal, inner zero bytes included.
template <std::size_t N> QByteArray Chars(const char (&text)[N]) { return QByteArray(text, N - 1); }

inline std::unique_ptr<TEPSNETPacket> AnswerPacket(TEPSNETArea area, int address, const QByteArray& data)
{
    auto packet = std::make_unique<TEPSNETPacket>();
    packet->Area = area;
    packet->Address = address;
    packet->Length = static_cast<int>(data.size());
    packet->SetData(data);
    return packet;
}
