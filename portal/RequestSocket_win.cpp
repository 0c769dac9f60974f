// TCP_INFO_v0 is declared for Windows 10, version 1703 (RS2) and later; older systems refuse
// the query at run time and bytesReceived() says nothing there.
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000003
#endif

#include "portal/RequestSocket.h"

#include <winsock2.h>
// After winsock2.h: SIO_TCP_INFO and TCP_INFO_v0.
#include <mstcpip.h>

#include <utility>

namespace velmora {

namespace {

constexpr NativeSocket noSocket = static_cast<NativeSocket>(INVALID_SOCKET);
constexpr int receiveBufferBytes = 8 * 1024;

SOCKET native(NativeSocket socket)
{
    return static_cast<SOCKET>(socket);
}

} // namespace

HeldSocket::HeldSocket(NativeSocket socket)
    : m_handle(noSocket)
{
    // A socket cannot be duplicated with DuplicateHandle. WSADuplicateSocket describes it for a
    // process, here this one, and WSASocket makes the second descriptor of the same socket.
    WSAPROTOCOL_INFOW description {};
    if (WSADuplicateSocketW(native(socket), GetCurrentProcessId(), &description) != 0)
        return;
    const SOCKET copy = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO,
                                   &description, 0, WSA_FLAG_OVERLAPPED);
    if (copy != INVALID_SOCKET)
        m_handle = static_cast<NativeSocket>(copy);
}

HeldSocket::~HeldSocket()
{
    if (held())
        closesocket(native(m_handle));
}

HeldSocket::HeldSocket(HeldSocket&& other) noexcept
    : m_handle(std::exchange(other.m_handle, noSocket))
{
}

HeldSocket& HeldSocket::operator=(HeldSocket&& other) noexcept
{
    if (this != &other) {
        if (held())
            closesocket(native(m_handle));
        m_handle = std::exchange(other.m_handle, noSocket);
    }
    return *this;
}

bool HeldSocket::held() const
{
    return m_handle != noSocket;
}

void HeldSocket::cut()
{
    // A reset needs the last descriptor of the socket closed, which is the client's: ending both
    // directions wakes whatever the client waits for, and its next read finds the end.
    if (held())
        shutdown(native(m_handle), SD_BOTH);
}

std::optional<std::uint64_t> HeldSocket::bytesReceived() const
{
    if (!held())
        return std::nullopt;
    DWORD version = 0;
    TCP_INFO_v0 info {};
    DWORD returned = 0;
    if (WSAIoctl(native(m_handle), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info,
                 &returned, nullptr, nullptr)
            != 0
        || returned < sizeof info)
        return std::nullopt;
    return info.BytesIn;
}

void limitReceiveBuffer(NativeSocket socket)
{
    setsockopt(native(socket), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&receiveBufferBytes), sizeof receiveBufferBytes);
}

} // namespace velmora
