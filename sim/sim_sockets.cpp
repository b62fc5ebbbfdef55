// RFCOMM links: an RFCOMM socket is a TCP socket, and connecting it to a device's
// service connects it to that service's peer on 127.0.0.1. Closing a socket ends a
// connect that waits on it. Every other call on it is plain Winsock. The components' Winsock start-ups are counted apart from the
// simulator's own, so that an RFCOMM socket and a lookup need one, as on Windows.
#include "sim/sim_functions.h"
#include "sim/sim_state.h"

namespace kvsim::detail {

namespace {

// Where a connect goes: a loopback port, or a failure with its Winsock code.
struct TTarget {
    int Error = 0;
    DWORD DelayMs = 0;
    unsigned short Port = 0;
};

// By service class; by channel when the class is all zero.
const TService* ServiceFor(const TDevice& device, const SOCKADDR_BTH& address) {
    const GUID wanted = address.serviceClassId; // the address is packed: no references into it
    const ULONG channel = address.port;
    bool byChannel = IsEqualGUID(wanted, GUID{});
    for (const TService& service : device.Services)
        if (byChannel ? service.Channel == channel : IsEqualGUID(service.ServiceClass, wanted))
            return &service;
    return nullptr;
}

TTarget TargetOf(TState& state, const SOCKADDR_BTH& address) {
    TTarget target;
    TDevice* device = DeviceAt(state, address.btAddr);
    if (!device)
        return {WSAEHOSTDOWN, 0, 0};
    const TService* service = ServiceFor(*device, address);
    if (!service)
        return {WSASERVICE_NOT_FOUND, 0, 0};
    const TPeer& peer = service->Peer;
    target.Error = peer.ConnectError;
    target.DelayMs = peer.ConnectDelayMs;
    if (peer.Kind == TPeerKind::External) {
        target.Port = peer.ExternalPort;
    } else {
        auto position = std::make_pair(size_t(device - state.World.Devices.data()),
                                       size_t(service - device->Services.data()));
        target.Port = state.Peers.at(position)->Port();
    }
    return target;
}

// Waits DelayMs as a connect to a slow device does; false when the socket is closed
// meanwhile, which ends a connect in progress on Windows.
bool WaitConnect(SOCKET s, DWORD DelayMs) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Call<int>(0, [&](TState& state, DWORD&) {
        state.PendingConnects[s] = closed;
        return 0;
    });
    bool waited = WaitForSingleObject(closed, DelayMs) == WAIT_TIMEOUT;
    Call<int>(0, [&](TState& state, DWORD&) {
        state.PendingConnects.erase(s);
        return 0;
    });
    CloseHandle(closed);
    return waited;
}

} // namespace

int WSAAPI CloseSocket(SOCKET s) {
    Call<int>(0, [&](TState& state, DWORD&) {
        auto pending = state.PendingConnects.find(s);
        if (pending != state.PendingConnects.end())
            SetEvent(pending->second);
        return 0;
    });
    return ::closesocket(s);
}

int WSAAPI Startup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    int result = ::WSAStartup(wVersionRequested, lpWSAData);
    if (result == 0)
        ++WinsockStarts();
    return result;
}

int WSAAPI Cleanup() {
    int result = ::WSACleanup();
    if (result == 0)
        --WinsockStarts();
    return result;
}

bool WinsockStarted() {
    return WinsockStarts() > 0;
}

SOCKET WSAAPI Socket(int af, int type, int protocol) {
    if (af != AF_BTH)
        return ::socket(af, type, protocol);
    if (!WinsockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    int error = Call<int>(WSAENETDOWN,
                          [&](TState& state, DWORD&) { return state.World.Settings.SocketError; });
    if (error == 0 && type != SOCK_STREAM)
        error = WSAESOCKTNOSUPPORT;
    if (error == 0 && protocol != BTHPROTO_RFCOMM)
        error = WSAEPROTONOSUPPORT;
    if (error != 0) {
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

int WSAAPI Connect(SOCKET s, const sockaddr* name, int namelen) {
    if (!name || namelen < int(sizeof(USHORT)) || name->sa_family != AF_BTH)
        return ::connect(s, name, namelen);
    if (namelen != sizeof(SOCKADDR_BTH)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const auto& address = *reinterpret_cast<const SOCKADDR_BTH*>(name);
    TTarget target = Call<TTarget>({WSAENETDOWN, 0, 0},
                                   [&](TState& state, DWORD&) { return TargetOf(state, address); });
    if (target.DelayMs > 0 && !WaitConnect(s, target.DelayMs)) {
        WSASetLastError(WSAEINTR); // closed meanwhile, as a blocking call is cancelled
        return SOCKET_ERROR;
    }
    if (target.Error != 0) {
        WSASetLastError(target.Error);
        return SOCKET_ERROR;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(target.Port);
    return ::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

} // namespace kvsim::detail
