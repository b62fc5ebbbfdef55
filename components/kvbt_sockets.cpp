#include "components/kvbt_sockets.h"

TkvSocketApi WinsockSocketApi() {
    return {
        ::socket,    ::connect,     ::closesocket, ::shutdown,   ::select,          ::recv,
        ::send,      ::ioctlsocket, ::getsockopt,  ::setsockopt, ::WSAGetLastError, ::WSAStartup,
        ::WSACleanup};
}

TkvSocketApi kvSocketApi = WinsockSocketApi();

TkvWinsockUse::TkvWinsockUse() {
    WSADATA data{};
    if (kvSocketApi.WSAStartup(0x0202, &data) == 0)
        fCleanup = kvSocketApi.WSACleanup;
}

TkvWinsockUse::~TkvWinsockUse() {
    if (fCleanup)
        fCleanup();
}
