#pragma once
#include "comm/kxasync_settings.h"
#include "platform/DateTime.h"
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

// Packets carry what a communication line sends and receives: an owned run of raw bytes with a few
// bookkeeping fields, and typed accessors that read and write PLC values at a byte address. A
// transaction pairs a request packet with its response.

// Raised by the typed accessors for an address outside the data, and by the conversions.
VOCATOR_DECLARE_EXCEPTION(EPacketException, EkxComException)

class TDataPacket {
public:
    TDataPacket();
    virtual ~TDataPacket();
    TDataPacket(const TDataPacket&) = delete;
    TDataPacket& operator=(const TDataPacket&) = delete;

    // Printed by the address-check message.
    virtual QString ClassName() const { return QStringLiteral("TDataPacket"); }

    const QByteArray& GetData() const noexcept { return FData; }
    virtual void SetData(const QByteArray& Value);
    int GetDataLength() const noexcept { return static_cast<int>(FData.size()); }
    // The text of communication logs: the bytes to send, read in the ANSI code page.
    virtual QString GetLogString() const;

    const QByteArray& Data() const noexcept { return GetData(); }
    int DataLength() const noexcept { return GetDataLength(); }
    QString LogString() const { return GetLogString(); }

    // The data becomes exactly count bytes of buff.
    void LoadDataFromBuff(const void* buff, int count);
    // Copies as many bytes as both the data and the buffer hold.
    void SaveDataToBuff(void* buff, int count) const;

    // Copies Name, Tag and the data; Valid and the launch flags stay.
    virtual void Assign(const TDataPacket& Source);
    // Empties the data and clears Valid.
    virtual void Clear();
    virtual QByteArray DataToSendString() const { return FData; }
    // Takes received bytes as the data and marks the packet valid.
    virtual bool ReceiveStringToData(const QByteArray& s);

    QString Name;
    std::int32_t Tag = 0;
    bool Valid = false;
    // Read by the communication thread before sending and on receiving.
    bool LaunchBeforeSend = true;
    bool LaunchOnReceive = true;

protected:
    QByteArray FData;
};

// A packet with typed access at a 0-based byte address; bit numbers run from 0 (least significant)
// to 7. The byte order is the derived class's. Every accessor raises EPacketException instead of
// touching a byte outside the data, and leaves the packet unchanged then. The AsXxx properties of
// the packet are these GetAsXxx and SetAsXxx pairs.
class TDataRawPacket : public TDataPacket {
public:
    QString ClassName() const override { return QStringLiteral("TDataRawPacket"); }

    virtual bool GetAsDBX(int Address, int bit) const = 0;
    virtual void SetAsDBX(int Address, int bit, bool Value) = 0;
    virtual std::uint8_t GetAsDBB(int Address) const = 0;
    virtual void SetAsDBB(int Address, std::uint8_t Value) = 0;
    virtual std::int32_t GetAsDBD(int Address) const = 0;
    virtual void SetAsDBD(int Address, std::int32_t Value) = 0;
    virtual std::uint16_t GetAsDBW(int Address) const = 0;
    virtual void SetAsDBW(int Address, std::uint16_t Value) = 0;
    virtual TDateTime GetAsDateTime(int Address) const = 0;
    virtual void SetAsDateTime(int Address, TDateTime Value) = 0;
    virtual float GetAsFloat(int Address) const = 0;
    virtual void SetAsFloat(int Address, float Value) = 0;
    // The word taken as signed.
    virtual std::int16_t GetAsDBI(int Address) const;
    virtual void SetAsDBI(int Address, std::int16_t Value);
    // Length bytes from Address.
    virtual QByteArray GetCharsAsString(int Address, int Length) const;
    // A field Len bytes long: Value cut to it or padded with blanks; the data length stays.
    virtual void SetCharsAsString(int Address, int Len, const QByteArray& Value);
    // The bytes up to the first zero byte or the end of the data.
    virtual QByteArray GetAsString(int Address) const;
    // Value and its terminating zero byte.
    virtual void SetAsString(int Address, const QByteArray& Value);
    // The two-byte S5 time (time base and three BCD digits, most significant byte first) in ms.
    virtual std::uint32_t GetAsS5Time(int Address) const;
    // Keeps the three leading digits in the finest of the four time bases that holds them; raises
    // for more than 9 999 999 ms, which no time base holds.
    virtual void SetAsS5Time(int Address, std::uint32_t Value);
    virtual std::int64_t GetAsInt64(int Address) const = 0;
    virtual void SetAsInt64(int Address, std::int64_t Value) = 0;

protected:
    // Passes when Size bytes at Address lie inside the data; otherwise raises EPacketException
    // "Class:%s Tag:%d - Address %d out of space (%d)\r\n" followed by the log text, filled with
    // the class name, Tag, Address and the highest address at which Size bytes would fit.
    void CheckAddress(int Address, int Size) const;
};

// Typed access to little-endian data (least significant byte first). Floats are IEEE singles,
// date-times OLE automation dates stored as IEEE doubles.
class TLEPacket : public TDataRawPacket {
public:
    QString ClassName() const override { return QStringLiteral("TLEPacket"); }

    bool GetAsDBX(int Address, int bit) const override;
    void SetAsDBX(int Address, int bit, bool Value) override;
    std::uint8_t GetAsDBB(int Address) const override;
    void SetAsDBB(int Address, std::uint8_t Value) override;
    // Raises "Address %d out of space (%d)" with Address and the last address a double word fits.
    std::int32_t GetAsDBD(int Address) const override;
    void SetAsDBD(int Address, std::int32_t Value) override;
    // Raises "Address %d out of space (%d)" with Address and the last address a word fits.
    std::uint16_t GetAsDBW(int Address) const override;
    void SetAsDBW(int Address, std::uint16_t Value) override;
    TDateTime GetAsDateTime(int Address) const override;
    void SetAsDateTime(int Address, TDateTime Value) override;
    float GetAsFloat(int Address) const override;
    void SetAsFloat(int Address, float Value) override;
    std::int64_t GetAsInt64(int Address) const override;
    void SetAsInt64(int Address, std::int64_t Value) override;

private:
    // The short message of the word and double-word readers.
    void CheckReadAddress(int Address, int Size) const;
    template <typename T> T Read(int Address) const;
    template <typename T> void Write(int Address, T Value);
};

// A request and its response, each owned and each possibly absent. The communication thread
// queues transactions and copies a repeat transaction every time it sends it (Clone).
class TDataTransaction {
public:
    TDataTransaction();
    virtual ~TDataTransaction();
    TDataTransaction(const TDataTransaction&) = delete;
    TDataTransaction& operator=(const TDataTransaction&) = delete;

    virtual QString ClassName() const { return QStringLiteral("TDataTransaction"); }
    // A new transaction of the same class as its constructor builds it; the base creates no
    // packets. Every derived class overrides it, creating its own packet classes.
    virtual std::unique_ptr<TDataTransaction> Create() const;
    // Copies Tag, and each packet that exists on both sides.
    virtual void Assign(const TDataTransaction& Source);
    // Create, then Assign from this one. Raises EkxComException for a class that does not
    // override Create, rather than hand out a copy of another class.
    std::unique_ptr<TDataTransaction> Clone() const;
    // Becomes exactly what Source.Clone() would give while keeping its own objects, which saves
    // the allocations of a copy; false, with nothing changed, where it cannot. The base class
    // never can; a class that can overrides it.
    virtual bool RenewFrom(const TDataTransaction& Source);

    std::unique_ptr<TDataPacket> Request;
    std::unique_ptr<TDataPacket> Response;
    std::int32_t Tag = 0;
};
