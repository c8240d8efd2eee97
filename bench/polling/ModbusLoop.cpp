#include "ModbusLoop.h"
#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int Registers = 123;

// The server answers one connection until the client goes.
class TModbusServer {
public:
    explicit TModbusServer(const char* address)
    {
        FContext = modbus_new_tcp(address, 0);
        FMapping = modbus_mapping_new(0, 0, Registers, 0);
        if (!FContext || !FMapping)
            return;
        FListen = modbus_tcp_listen(FContext, 1);
        sockaddr_in self{};
        socklen_t length = sizeof self;
        if (FListen < 0 || ::getsockname(FListen, reinterpret_cast<sockaddr*>(&self), &length) != 0)
            return;
        for (int i = 0; i < Registers; ++i)
            FMapping->tab_registers[i] = std::uint16_t(i);
        FPort = ntohs(self.sin_port);
        FThread = std::thread([this] { Serve(); });
    }

    ~TModbusServer()
    {
        if (FListen >= 0)
            ::shutdown(FListen, SHUT_RDWR);
        if (FThread.joinable())
            FThread.join();
        if (FListen >= 0)
            ::close(FListen);
        if (FMapping)
            modbus_mapping_free(FMapping);
        if (FContext) {
            modbus_close(FContext);
            modbus_free(FContext);
        }
    }

    int Port() const { return FPort; }

private:
    void Serve()
    {
        int listen = FListen;
        if (modbus_tcp_accept(FContext, &listen) < 0)
            return;
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int length = modbus_receive(FContext, query);
            if (length < 0)
                return;
            if (length > 0)
                modbus_reply(FContext, query, length, FMapping);
        }
    }

    modbus_t* FContext = nullptr;
    modbus_mapping_t* FMapping = nullptr;
    int FListen = -1;
    int FPort = 0;
    std::thread FThread;
};

} // namespace

TRates MeasureModbusLoop(const char* address, const TTiming& timing)
{
    TRates result;
    result.Name = QStringLiteral("(b)  libmodbus TCP");
    TModbusServer server(address);
    if (!server.Port()) {
        result.Error = QStringLiteral("the libmodbus server could not listen on %1").arg(address);
        return result;
    }
    modbus_t* client = modbus_new_tcp(address, server.Port());
    if (!client || modbus_connect(client) != 0) {
        result.Error = QStringLiteral("the libmodbus client could not connect");
        if (client)
            modbus_free(client);
        return result;
    }
    std::uint16_t registers[Registers];
    const auto exchange = [&] { return modbus_read_registers(client, 0, Registers, registers) == Registers; };
    result.PerSecond = MeasureOnWorker(exchange, timing, result.Error);
    modbus_close(client);
    modbus_free(client);
    return result;
}
