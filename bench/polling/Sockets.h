#pragma once
#include <QtGlobal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

// The few socket calls the bare loops share.

inline sockaddr_in Loopback(const char* address, quint16 port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &peer.sin_addr);
    return peer;
}

inline void NoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline bool ReadAll(int fd, char* buffer, int count)
{
    for (int got = 0; got < count;) {
        const ssize_t n = ::recv(fd, buffer + got, std::size_t(count - got), 0);
        if (n <= 0)
            return false;
        got += int(n);
    }
    return true;
}
