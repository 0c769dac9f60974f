#include "portal/RequestSocket.h"

// The kernel's tcp_info: glibc's copy stops before the byte counts.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <fcntl.h>
#include <utility>

namespace velmora {

namespace {

constexpr NativeSocket noSocket = -1;
constexpr int receiveBufferBytes = 8 * 1024;

} // namespace

HeldSocket::HeldSocket(NativeSocket socket)
    : m_handle(::fcntl(static_cast<int>(socket), F_DUPFD_CLOEXEC, 0))
{
}

HeldSocket::~HeldSocket()
{
    if (held())
        ::close(static_cast<int>(m_handle));
}

HeldSocket::HeldSocket(HeldSocket&& other) noexcept
    : m_handle(std::exchange(other.m_handle, noSocket))
{
}

HeldSocket& HeldSocket::operator=(HeldSocket&& other) noexcept
{
    if (this != &other) {
        if (held())
            ::close(static_cast<int>(m_handle));
        m_handle = std::exchange(other.m_handle, noSocket);
    }
    return *this;
}

bool HeldSocket::held() const
{
    return m_handle >= 0;
}

void HeldSocket::cut()
{
    if (!held())
        return;
    // Connecting to AF_UNSPEC disconnects a TCP socket in any state: the peer gets a reset, the
    // receive queue is dropped, and the client's next call fails with ECONNRESET. A shutdown()
    // would hand the client an orderly end of stream instead, on which it takes the line it was
    // reading as complete.
    sockaddr unspecified {};
    unspecified.sa_family = AF_UNSPEC;
    if (::connect(static_cast<int>(m_handle), &unspecified, sizeof unspecified) != 0)
        ::shutdown(static_cast<int>(m_handle), SHUT_RDWR);
}

std::optional<std::uint64_t> HeldSocket::bytesReceived() const
{
    if (!held())
        return std::nullopt;
    tcp_info info {};
    socklen_t size = sizeof info;
    if (::getsockopt(static_cast<int>(m_handle), IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}

void limitReceiveBuffer(NativeSocket socket)
{
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes,
                 sizeof receiveBufferBytes);
}

} // namespace velmora
