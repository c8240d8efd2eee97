#pragma once
#include <QByteArray>
#include <QString>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

// Blocking IPv4 sockets whose waits are bounded by poll(), or, for RecvBufferEx, by the socket's
// own receive time-out (SO_RCVTIMEO), so that waiting and receiving are one call. Nothing here raises: every call records
// its outcome in LastError (0 = success, else an errno value or one of the codes below) and
// LastErrorDesc (the system's text for it), and callers check those after each call, as the
// communication transports do. An object is used by one thread at a time; only its time-outs may
// be set from another.
//
// TTCPBlockSocket is a stream client, server or accepted connection; TUDPBlockSocket exchanges
// datagrams with one recorded peer, and the sender of each datagram it receives becomes that peer.
// Both read through the same calls, so a transport does not care which one it holds.
class TBlockSocket {
public:
    static constexpr int InvalidSocket = -1;
    // A wait that ran out of time. ETIMEDOUT is the system's own code, with its own text.
    static constexpr int TimedOutError = ETIMEDOUT;
    // A host or port that name resolution could not turn into an address: outside the errno range,
    // LastErrorDesc gives the resolver's text.
    static constexpr int AddressError = 0x10001;

    virtual ~TBlockSocket();
    TBlockSocket(const TBlockSocket&) = delete;
    TBlockSocket& operator=(const TBlockSocket&) = delete;

    // The raw handle, InvalidSocket while closed.
    int Socket() const noexcept { return FSocket; }
    // Takes over an open socket handle of the right kind and owns it from now on; the current one
    // is closed first. A handle that is no such socket is left alone: LastError tells why and the
    // object stays closed.
    void SetSocket(int handle);

    // Binds to a local address and port given as text ("0.0.0.0" or empty: any address; "0":
    // a port of the system's choice), creating the socket when there is none yet.
    void Bind(const QString& host, const QString& port);
    // TCP: connects within ConnectTimeout. UDP: only records the peer that SendBuffer sends to.
    virtual void Connect(const QString& host, const QString& port) = 0;

    // Sends all bytes within SendTimeout and gives how many left; fewer means LastError is set.
    int SendBuffer(const void* buffer, int length);
    int SendString(const QByteArray& data);

    // Reads exactly length bytes, waiting at most timeoutMs for all of them together (a negative
    // time-out waits without limit). Gives the count that arrived; fewer than length means
    // LastError is set: TimedOutError, ECONNRESET when the peer closed the connection, or the
    // system's error.
    int RecvBufferEx(void* buffer, int length, int timeoutMs);
    // Whatever is there once something is: the unread rest of the last datagram, or what one
    // receive brings (a whole datagram on UDP). Empty with TimedOutError after timeoutMs.
    QByteArray RecvPacket(int timeoutMs);
    // At most length bytes of what is there once something is, waiting at most RecvTimeout.
    int RecvBuffer(void* buffer, int length);
    // UDP: one whole datagram, waiting at most timeoutMs for it; its size (never more than
    // capacity: a larger one is cut and LastError is EMSGSIZE), or 0 with LastError set. Nothing of
    // it is kept for a later read, and nothing kept from before is handed out.
    int RecvDatagram(void* buffer, int capacity, int timeoutMs);
    // One byte; 0 and LastError set when none came.
    std::uint8_t RecvByte(int timeoutMs);

    // True when a read would not wait: data, a pending client on a listening socket, or an end
    // or error that the next read reports. Waiting without finding anything is no error.
    bool CanRead(int timeoutMs);
    // Bytes a read can take without waiting (on UDP: the rest kept plus the next datagram).
    int WaitingData();
    // Drops everything received and not read yet: the rest of a datagram and every pending
    // datagram or byte. LastError is 0 afterwards.
    void Purge();

    // Time-outs of SendBuffer, RecvBuffer and of connecting, in ms; 0 (the default) sets no limit
    // of our own. They may be set from another thread while this one waits.
    void SetSendTimeout(int timeoutMs) noexcept { FSendTimeoutMs = timeoutMs; }
    int SendTimeout() const noexcept { return FSendTimeoutMs; }
    void SetRecvTimeout(int timeoutMs) noexcept { FRecvTimeoutMs = timeoutMs; }
    int RecvTimeout() const noexcept { return FRecvTimeoutMs; }
    void SetConnectTimeout(int timeoutMs) noexcept { FConnectTimeoutMs = timeoutMs; }
    int ConnectTimeout() const noexcept { return FConnectTimeoutMs; }
    // SO_LINGER; kept and applied to every later socket of this object too. Enabled with 0
    // makes a close reset the connection at once instead of ending it in order.
    void SetLinger(bool enable, int lingerMs);

    // Closes in order (TCP: the sending side is shut down first) or at once; the handle becomes
    // invalid, kept data are dropped. LastError is 0 afterwards.
    virtual void CloseSocket();
    void AbortSocket();

    // The peer: of the connection (TCP), or the recorded one (UDP). "0.0.0.0" and 0 when none.
    QString GetRemoteSinIP() const;
    int GetRemoteSinPort() const;
    QString GetLocalSinIP() const;
    int GetLocalSinPort() const;

    int LastError() const noexcept { return FLastError; }
    QString LastErrorDesc() const;

protected:
    explicit TBlockSocket(int socketType);

    // Opens a new socket of this object's kind, with the options kept for it.
    bool CreateSocket();
    // Sends one piece without waiting; the byte count, or -1 with errno.
    virtual long SendOnce(const char* data, std::size_t length) = 0;
    // What one receive brings, with the flags of recv(): at most length bytes on TCP, and on UDP
    // one datagram whose rest is kept. The count, -1 with LastError set, or one of these:
    static constexpr int NothingReceived = -2; // nothing came (no data, or the time-out ran out)
    static constexpr int ReceiveInterrupted = -3;
    virtual int Receive(char* buffer, int length, int flags) = 0;
    // Takes what is there without waiting; the count (0 when nothing), or -1 with LastError set.
    int ReceiveAvailable(char* buffer, int length);
    // Called once a handle has been taken over or connected.
    virtual void AfterOpen() {}

    // Copies out up to length bytes of the kept rest of a datagram; the count.
    int TakeKept(char* buffer, int length);
    void Keep(const char* data, std::size_t length);
    bool HasKept() const noexcept { return FKeptStart < FKept.size(); }
    std::size_t KeptSize() const noexcept { return FKept.size() - FKeptStart; }
    void DropKept() noexcept;

    bool Resolve(const QString& host, const QString& port, sockaddr_in& address);
    // Waits for readiness within timeoutMs: 1 ready, 0 time-out, -1 with LastError set.
    int WaitFor(short events, int timeoutMs);
    bool RequireSocket();
    void SetError(int error);
    void SetError(int error, const QString& description);
    void ResetError();
    // Records errno of the call that just failed.
    void SetSystemError();

    int FSocket = InvalidSocket;
    int FSocketType;
    // The peer of the connection, or the one a datagram socket talks to.
    sockaddr_in FRemote{};

private:
    bool ApplyLinger();
    // One receive that waits at most timeoutMs (negative: without limit); the count (0 when a
    // signal interrupted it), or -1 with LastError set, TimedOutError included.
    int ReceiveWithin(char* buffer, int length, int timeoutMs);
    // Sets SO_RCVTIMEO, skipping the call when the socket has it already.
    bool ApplyRecvTimeout(int timeoutMs);
    // Called whenever the object gets another handle, whose receive time-out is not known.
    void ForgetRecvTimeout() noexcept { FAppliedRecvTimeoutMs = UnknownRecvTimeout; }

    int FLastError = 0;
    QString FLastErrorDesc;
    std::atomic<int> FSendTimeoutMs{0};
    std::atomic<int> FRecvTimeoutMs{0};
    std::atomic<int> FConnectTimeoutMs{0};
    bool FLingerSet = false;
    bool FLingerEnabled = false;
    int FLingerMs = 0;
    static constexpr int UnknownRecvTimeout = -2;
    // The SO_RCVTIMEO of the handle in ms, -1 for none, UnknownRecvTimeout before it is set.
    int FAppliedRecvTimeoutMs = UnknownRecvTimeout;
    // The unread rest of the last datagram, from FKeptStart on.
    std::vector<char> FKept;
    std::size_t FKeptStart = 0;
};

class TTCPBlockSocket : public TBlockSocket {
public:
    TTCPBlockSocket();

    // Connects within ConnectTimeout; a socket that fails to connect is closed again.
    void Connect(const QString& host, const QString& port) override;
    // Makes a bound socket a listening one.
    void Listen();
    // The handle of the next client, waiting at most timeoutMs (negative: without limit) for one;
    // InvalidSocket with LastError set when there is none. The caller owns the handle, usually
    // by giving it to another object's SetSocket.
    int Accept(int timeoutMs = -1);
    void CloseSocket() override;

protected:
    long SendOnce(const char* data, std::size_t length) override;
    int Receive(char* buffer, int length, int flags) override;
    void AfterOpen() override;
};

class TUDPBlockSocket : public TBlockSocket {
public:
    TUDPBlockSocket();

    // Records the peer that datagrams go to; the socket is made when there is none yet.
    void Connect(const QString& host, const QString& port) override;
    // Locked to its peer, the socket takes datagrams from the recorded peer only: any other
    // sender's are dropped unread and counted, and the peer stays. A client's line to its one
    // server is locked; a server's is not, so that it answers whoever asked last.
    void SetPeerLocked(bool locked) noexcept { FPeerLocked = locked; }
    // Datagrams dropped as not from the peer, and the sender of the last of them.
    std::uint64_t ForeignDatagrams() const noexcept { return FForeignDatagrams; }
    QString LastForeignSender() const;

protected:
    long SendOnce(const char* data, std::size_t length) override;
    // Receives one datagram straight into the buffer, records its sender as the peer and keeps
    // what does not fit.
    int Receive(char* buffer, int length, int flags) override;

private:
    bool FromPeer(const sockaddr_in& sender) const noexcept;

    // Takes the part of a datagram beyond the caller's buffer.
    std::vector<char> FOverflow;
    bool FPeerLocked = false;
    std::uint64_t FForeignDatagrams = 0;
    sockaddr_in FLastForeign{};
};
