#include "bench/bench_support.h"

#include <ws2tcpip.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace kvbench {

double ProcessCpuMs() {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e4;
    };
    return ms(kernel) + ms(user);
}

std::uint64_t ProcessPrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof counters))
        return 0;
    return counters.PagefileUsage; // the commit charge; Wine leaves PrivateUsage at 0
}

void THash::Add(const void* Data, size_t Length) {
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    std::uint64_t h = fValue;
    for (size_t i = 0; i < Length; ++i)
        h = (h ^ bytes[i]) * 1099511628211ull;
    fValue = h;
}

double Percentile(std::vector<double> Values, double P) {
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    size_t rank = static_cast<size_t>(std::ceil(P / 100.0 * static_cast<double>(Values.size())));
    return Values[std::clamp<size_t>(rank, 1, Values.size()) - 1];
}

std::string Fixed(double Value, int Decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", Decimals, Value);
    return text;
}

void PrintTable(const std::string& Title, const std::string& Unit, const std::vector<TRow>& Rows) {
    std::printf("\n%s (%s)\n", Title.c_str(), Unit.c_str());
    std::printf("| %-38s | %12s | %12s | %7s | %-22s | %-4s |\n", "case", "ours", "reference",
                "ratio", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(9, '-').c_str(),
                std::string(24, '-').c_str(), std::string(6, '-').c_str());
    for (const TRow& r : Rows) {
        std::string ratio = r.Reference != 0 ? Fixed(r.Ours / r.Reference, 3) : "-";
        std::printf("| %-38s | %12s | %12s | %7s | %-22s | %-4s |\n", r.Case.c_str(),
                    Fixed(r.Ours, 3).c_str(), Fixed(r.Reference, 3).c_str(), ratio.c_str(),
                    r.Target.c_str(), r.Met ? "yes" : "NO");
        if (!r.Note.empty())
            std::printf("|   %-150s |\n", r.Note.c_str());
    }
    std::fflush(stdout);
}

TBenchPeer::TBenchPeer() {
    fListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (fListener == INVALID_SOCKET ||
        bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fListener, SOMAXCONN) != 0 ||
        getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("the bench peer cannot listen on 127.0.0.1");
    fPort = ntohs(address.sin_port);
}

TBenchPeer::~TBenchPeer() {
    closesocket(fListener);
}

SOCKET TBenchPeer::Accept(DWORD TimeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fListener, &set);
    timeval wait{static_cast<long>(TimeoutMs / 1000), static_cast<long>(TimeoutMs % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &wait) != 1)
        return INVALID_SOCKET;
    SOCKET s = accept(fListener, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
    }
    return s;
}

kvsim::TWorld BenchWorld(unsigned short PeerPort) {
    kvsim::TWorld w;
    kvsim::TRadio radio;
    radio.Name = L"Bench Radio";
    radio.Address = 0x00BE0C000A01;
    w.Radios.push_back(radio);
    kvsim::TPeer external, echo;
    external.Kind = kvsim::TPeerKind::External;
    external.ExternalPort = PeerPort;
    w.Devices.push_back(SerialDevice(L"Bench Peer", kBenchPeerDevice, external));
    w.Devices.push_back(SerialDevice(L"Bench Echo", kEchoDevice, echo));
    w.Settings.InquiryScale = 0;
    return w;
}

TBenchRun::TWinsock::TWinsock() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
}

TBenchRun::TWinsock::~TWinsock() {
    WSACleanup();
}

TBenchRun::TBenchRun() {
    kvsim::Install(BenchWorld(fPeer.Port()));
}

TBenchRun::~TBenchRun() {
    kvsim::Uninstall();
}

SOCKET ConnectBare(BTH_ADDR Address) {
    // An RFCOMM socket needs Winsock started through the table, as a component does.
    WSADATA data;
    kvSocketApi.WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    kvSocketApi.WSACleanup(); // the bench's own start-up keeps Winsock running
    if (s == INVALID_SOCKET)
        return s;
    SOCKADDR_BTH address{};
    address.addressFamily = AF_BTH;
    address.btAddr = Address;
    address.serviceClassId = kvsim::ServiceClass16(kSerialPort);
    if (kvSocketApi.connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        kvSocketApi.closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool SendAll(SOCKET Socket, const char* Data, size_t Length) {
    while (Length > 0) {
        int sent = send(Socket, Data, static_cast<int>(std::min<size_t>(Length, 1 << 30)), 0);
        if (sent <= 0)
            return false;
        Data += sent;
        Length -= static_cast<size_t>(sent);
    }
    return true;
}

TSendingEnd::TSendingEnd(TBenchPeer& Peer, bool Component) : Component(Component) {
    if (Component) {
        if (!SelectDevice(Bt, kBenchPeerDevice))
            return;
        Bt.SetActive(true);
    } else {
        fBare = ConnectBare(kBenchPeerDevice);
    }
    Link = Peer.Accept();
}

TSendingEnd::~TSendingEnd() {
    Bt.SetActive(false);
    if (fBare != INVALID_SOCKET)
        closesocket(fBare);
    if (Link != INVALID_SOCKET)
        closesocket(Link);
}

void TSendingEnd::Send(const void* Data, size_t Length) {
    if (Component)
        Bt.SendData(static_cast<const std::uint8_t*>(Data), static_cast<std::uint32_t>(Length));
    else
        SendAll(fBare, static_cast<const char*>(Data), Length);
}

} // namespace kvbench
