#pragma once
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <termios.h>

// A serial line over termios with the read and write time-outs of the Windows communications
// API, so that the engine keeps the semantics its protocol timing was made for.

// The Linux device of a serial port name. The names the engine gives ports carry the Windows
// device-namespace prefix "\\.\" (a plain name is taken the same way):
//   "\\.\COM1" (any case)  -> "/dev/ttyS0"      COMn is /dev/ttyS(n-1)
//   "\\.\/dev/ttyUSB0"     -> "/dev/ttyUSB0"    a path stays a path
//   "\\.\ttyUSB0"          -> "/dev/ttyUSB0"    a bare name is a device in /dev
QString SerialDevicePath(const QString& portName);

enum class TSerialParity { None, Odd, Even, Mark, Space };
// Linux sends 1.5 stop bits as 2.
enum class TSerialStopBits { One, OneAndHalf, Two };

// Line settings in plain terms; the engine maps its Windows-style record onto this.
struct TSerialSettings {
    // Bits per second; only the rates termios knows by name (IsStandardBaudRate).
    std::uint32_t BaudRate = 9600;
    // 5 to 8.
    int DataBits = 8;
    TSerialParity Parity = TSerialParity::None;
    // Received characters with a parity error are read as 0 (INPCK); off: read as they came.
    bool CheckParity = false;
    TSerialStopBits StopBits = TSerialStopBits::One;
    // RTS/CTS handshake (CRTSCTS): the driver drives RTS, and sends only while CTS is up.
    bool RtsCtsFlowControl = false;
    // XON/XOFF: on output our sending stops at XoffChar until XonChar comes (IXON); on input the
    // driver sends them itself as its buffer fills and empties (IXOFF).
    bool XonXoffOutput = false;
    bool XonXoffInput = false;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    // Levels set with the settings. Rts is left to the driver under RTS/CTS handshake.
    bool Dtr = true;
    bool Rts = true;
};

bool IsStandardBaudRate(std::uint32_t baudRate);
// The termios flags of the settings, on top of raw mode; false with EINVAL for a rate or data bit
// count termios has no flag for (the record is then left unchanged).
bool SettingsToTermios(const TSerialSettings& settings, termios& attributes);
// The settings a termios record holds; the line levels are not in it and keep their defaults.
TSerialSettings SettingsFromTermios(const termios& attributes);

// Time-outs in ms, with the meaning of the Windows COMMTIMEOUTS:
// - A read ends when it has all its bytes, when the total time-out has run out (Multiplier per
//   requested byte plus Constant; both 0: no total limit), or when more than Interval passes
//   between two bytes once the first has come (0: no interval limit). All 0: wait for every byte.
// - Interval MaxWait with both totals 0: return at once with what has arrived, possibly nothing.
// - Interval MaxWait with Multiplier MaxWait and a Constant: wait up to Constant for a first byte,
//   then return at once with what has arrived.
// - A write ends when every byte is out or its total (Multiplier per byte plus Constant; both 0:
//   no limit) has run out.
// Running out of time is no error: the call returns what it transferred.
struct TSerialTimeouts {
    static constexpr std::uint32_t MaxWait = 0xFFFFFFFF;
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// One open serial line. Nothing here raises: calls give their result and leave the errno of a
// failure in LastError (0 = success) with its system text in LastErrorDesc. Settings and
// time-outs may be applied from another thread than the one that reads and writes; LastError is
// then shared by both, so each goes by the values its calls return.
class TSerialPort {
public:
    TSerialPort() = default;
    ~TSerialPort();
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    // Opens the device of a port name (SerialDevicePath) for reading and writing, for us alone.
    // The line goes into raw mode (no echo, line editing, character translation or XON/XOFF,
    // which would eat bytes of binary frames); rate, framing and RTS/CTS stay as the driver had
    // them. A device that is no terminal gives ENOTTY, one already opened through this class
    // (in any process) gives EBUSY.
    bool Open(const QString& portName);
    void Close() noexcept;
    bool IsOpen() const noexcept { return FFd >= 0; }
    int Handle() const noexcept { return FFd; }

    // Applies the line settings and then the DTR and RTS levels. A device without modem lines
    // (a pseudo terminal, say) takes the rest of the settings all the same.
    bool SetSettings(const TSerialSettings& settings);
    // The device's current settings and line levels (the levels stay true where the device has
    // no modem lines).
    bool GetSettings(TSerialSettings& settings);
    void SetTimeouts(const TSerialTimeouts& timeouts) noexcept;
    TSerialTimeouts Timeouts() const noexcept;

    // Bytes read within the time-outs; -1 when the line failed before any byte came (a closed far
    // end or a vanished device gives EIO). A failure after some bytes gives those bytes and
    // leaves the error in LastError.
    int Read(void* buffer, int count);
    // Bytes written within the time-out; -1 when the line failed before any byte went out.
    int Write(const void* buffer, int count);

    // The output handshake lines.
    bool SetDTR();
    bool ClrDTR();
    bool SetRTS();
    bool ClrRTS();
    // Drops received bytes not read yet; bytes waiting to be sent stay.
    bool PurgeInput();
    // Waits until every byte written has left the transmitter.
    bool Flush();

    int LastError() const noexcept { return FLastError.load(); }
    QString LastErrorDesc() const;

private:
    bool Fail(int error);
    bool Succeed();
    bool RequireOpen();
    bool ModemLines(unsigned long request, int lines);
    // Reads until count bytes have come, the total time is up or a gap between bytes is longer
    // than the interval; -1 ms for either means no such limit.
    int ReadWithin(char* buffer, int count, std::int64_t totalMs, std::int64_t intervalMs);
    // One read of what has arrived: bytes, 0 when nothing, -1 on failure.
    int ReadAvailable(char* buffer, int count);

    int FFd = -1;
    std::atomic<int> FLastError{0};
    // Set from the thread that changes settings while another reads; each call takes a copy.
    mutable std::mutex FTimeoutsLock;
    TSerialTimeouts FTimeouts;
};
