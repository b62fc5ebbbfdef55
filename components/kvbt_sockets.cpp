#include "components/kvbt_sockets.h"

TkvSocketApi WinsockSocketApi() {
    return {
        ::socket,    ::connect,     ::closesocket, ::shutdown,   ::select,          ::recv,
        ::send,      ::ioctlsocket, ::getsockopt,  ::setsockopt, ::WSAGetLastError, ::WSAStartup,
        ::WSACleanup};
}

TkvSocketApi kvSocketApi = WinsockSocketApi();
