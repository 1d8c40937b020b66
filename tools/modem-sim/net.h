#pragma once
// The few TCP calls the modem simulator, the acquirer peer and the bus
// client need, on POSIX sockets and on Winsock alike. Loopback only: every
// address made here is 127.0.0.1. Every wait is bounded by its caller.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace net {

using Socket = intptr_t;
constexpr Socket NO_SOCKET = -1;

// Once per process, before any other call (Winsock start-up; on POSIX a
// peer's reset must not raise SIGPIPE).
bool Startup();

// Listens on 127.0.0.1:port (0: the system picks); the bound port into
// *bound. NO_SOCKET when the port cannot be had.
Socket Listen(uint16_t port, int backlog, uint16_t* bound);
// Connects to 127.0.0.1:port within timeoutMs; NO_SOCKET on refusal or time-out.
Socket Connect(uint16_t port, int timeoutMs);
// The next connection within timeoutMs, or NO_SOCKET.
Socket Accept(Socket listener, int timeoutMs);

// Waits up to timeoutMs for something to read (or an end). True when there is.
bool Readable(Socket s, int timeoutMs);
// One receive: bytes read, 0 at the peer's end, -1 on failure.
long Receive(Socket s, void* data, size_t size);
// Every byte, or false. On a non-blocking socket the wait for room stops
// once *stop is set (looked at every tenth of a second).
bool SendAll(Socket s, const void* data, size_t size, const std::atomic<bool>* stop = nullptr);
// Exactly `size` bytes within timeoutMs, or false.
bool ReceiveAll(Socket s, void* data, size_t size, int timeoutMs);

void ShutdownSend(Socket s);
// Both ways: a receive another thread waits in ends at once.
void ShutdownBoth(Socket s);
// A reset instead of an orderly close.
void Reset(Socket s);
void Close(Socket s);
void SetNoDelay(Socket s);
void SetBlocking(Socket s, bool blocking);
void SetReceiveBuffer(Socket s, int bytes);

// Milliseconds of a monotonic clock.
uint64_t NowMs();

}  // namespace net
