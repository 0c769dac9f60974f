#pragma once

#include <cstdint>
#include <optional>

namespace velmora {

// A socket of the HTTP client as it hands it over: a Linux descriptor or a Windows SOCKET.
using NativeSocket = std::intptr_t;

// A second handle on the socket of a request under way, held for as long as the request is. The
// client's own handle is closed, and its number may be reused, when the request ends; this one
// keeps the socket itself alive until it is released, so cutting through it never reaches some
// other socket.
class HeldSocket
{
public:
    // Holds nothing when the socket cannot be duplicated.
    explicit HeldSocket(NativeSocket socket);
    ~HeldSocket();
    HeldSocket(HeldSocket&& other) noexcept;
    HeldSocket& operator=(HeldSocket&& other) noexcept;
    HeldSocket(const HeldSocket&) = delete;
    HeldSocket& operator=(const HeldSocket&) = delete;

    bool held() const;

    // Ends the connection from any thread, at once, in every state: a connection attempt, a TLS
    // handshake or a wait for the answer under way on the client's thread ends with an error. On
    // Linux the connection is reset and what was received but not yet read is dropped, so a line
    // the client was still reading ends unfinished, never as a cut-short whole line.
    void cut();

    // Bytes the system has received on the connection so far (TLS records and HTTP framing
    // included), read or not; nothing where the system does not say.
    std::optional<std::uint64_t> bytesReceived() const;

private:
    NativeSocket m_handle;
};

// Keeps what a peer can push ahead of the client's reading small, so that a limit on the bytes
// received is overrun by little between two checks of it. Answers of a few KiB do not notice.
void limitReceiveBuffer(NativeSocket socket);

} // namespace velmora
