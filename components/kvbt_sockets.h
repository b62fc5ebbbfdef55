#pragma once
// The Winsock calls of TkvBT, through one table of function pointers that defaults to
// Winsock itself. The simulated stack replaces socket and connect so that an RFCOMM link
// is a loopback TCP connection, closesocket so that closing a socket ends a connect that
// waits on it, and WSAStartup and WSACleanup so that it tells the components' start-ups
// from its own; everything else stays real Winsock. Replace entries
// only while no component uses them.

#include <winsock2.h>

struct TkvSocketApi {
    decltype(&::socket) socket;
    decltype(&::connect) connect;
    decltype(&::closesocket) closesocket;
    decltype(&::shutdown) shutdown;
    decltype(&::select) select;
    decltype(&::recv) recv;
    decltype(&::send) send;
    decltype(&::ioctlsocket) ioctlsocket;
    decltype(&::getsockopt) getsockopt;
    decltype(&::setsockopt) setsockopt;
    decltype(&::WSAGetLastError) WSAGetLastError;
    decltype(&::WSAStartup) WSAStartup;
    decltype(&::WSACleanup) WSACleanup;
};

// The table in use.
extern TkvSocketApi kvSocketApi;

// One Winsock start-up through the table, for as long as it lives; its clean-up is that of
// the table it started with, even when the table was replaced meanwhile.
class TkvWinsockUse {
public:
    TkvWinsockUse();
    ~TkvWinsockUse();
    TkvWinsockUse(const TkvWinsockUse&) = delete;
    TkvWinsockUse& operator=(const TkvWinsockUse&) = delete;

private:
    decltype(&::WSACleanup) fCleanup = nullptr; // none when the start-up failed
};
// Winsock's own functions.
TkvSocketApi WinsockSocketApi();
