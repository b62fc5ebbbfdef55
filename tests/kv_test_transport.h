#pragma once
// A transport of the tests' own over a loopback TCP pair, with a reader loop that keeps
// the TkvBaseIO contract, and a log that records every line.

#include "components/kvclasses.h"
#include "toolkit/exceptions.h"

#include <winsock2.h>

#include <mutex>
#include <string>
#include <vector>

struct TLogLine {
    TDetailLevel Level;
    String Text;
    friend bool operator==(const TLogLine&, const TLogLine&) = default;
};

class TRecordingLog : public TkvCustomLogFile {
public:
    explicit TRecordingLog(TComponent* owner) : TkvCustomLogFile(owner) {}
    void AddSysInfo() override { Push(dlSimple, L"<system information>"); }
    void AddLog(TDetailLevel l, const String& s) override { Push(l, s); }
    void AddLogFmt(TDetailLevel l, const String& fmt, const TVarRecs& args) override {
        Push(l, Format(fmt, args));
    }
    std::vector<TLogLine> Lines() {
        std::lock_guard<std::mutex> lock(fLock);
        return fLines;
    }

private:
    void Push(TDetailLevel l, const String& s) {
        std::lock_guard<std::mutex> lock(fLock);
        fLines.push_back({l, s});
    }
    std::mutex fLock;
    std::vector<TLogLine> fLines;
};

// A connected loopback TCP pair.
struct TSocketPair {
    SOCKET Near = INVALID_SOCKET, Far = INVALID_SOCKET;
    static TSocketPair Make() {
        TSocketPair p;
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        p.Near = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        connect(p.Near, reinterpret_cast<sockaddr*>(&a), sizeof a);
        p.Far = accept(listener, nullptr, nullptr);
        closesocket(listener);
        return p;
    }
};

class TTestTransport : public TkvBaseIO {
public:
    explicit TTestTransport(TComponent* owner) : TkvBaseIO(owner) {
        WSADATA data;
        WSAStartup(0x0202, &data);
    }
    ~TTestTransport() override {
        EndCalls();
        EndConnections();
        if (Far != INVALID_SOCKET)
            closesocket(Far);
        WSACleanup();
    }

    // The medium can be reached; if not, OpenHandle reports fatal error 5, 7.
    bool Reachable = true;
    bool Threaded = true;
    SOCKET Far = INVALID_SOCKET; // the other end of the open medium
    std::vector<String> DeviceNames;
    int Enumerations = 0;
    int Opens = 0;
    std::wstring Sent;

    using TkvBaseIO::fHandle;
    using TkvBaseIO::FlushTerminal;
    using TkvBaseIO::hTerminal;
    using TkvBaseIO::IsThreadIOTerminated;
    using TkvBaseIO::sLogPrefix;

    std::uintptr_t OpenHandle() override {
        ++Opens;
        if (!Reachable) {
            DoFatalErrors(5, 7, L"The medium cannot be reached");
            return kvInvalidHandle;
        }
        TSocketPair pair = TSocketPair::Make();
        if (Far != INVALID_SOCKET)
            closesocket(Far);
        Far = pair.Far;
        isThreaded = Threaded;
        return static_cast<std::uintptr_t>(pair.Near);
    }
    void ReleaseHandle(std::uintptr_t h) override { closesocket(static_cast<SOCKET>(h)); }

    void ThreadIOExecute(TkvThreadIO* Thread) override {
        try {
            ReadLoop(*Thread);
        } catch (...) {
            // An exception from the dispatch ends the loop like a failed read.
        }
        // Ended by itself (the far end closed, or the dispatch failed): the reader closes.
        if (!IsThreadIOTerminated())
            ConnectionEnded(Thread);
    }

    void ReadLoop(TkvThreadIO& Thread) {
        SOCKET s = static_cast<SOCKET>(Thread.Connection()->Handle());
        std::vector<char> buffer(4096);
        while (!IsThreadIOTerminated()) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tick{0, 20000};
            int r = select(0, &set, nullptr, &set, &tick);
            if (r < 0)
                break;
            if (r == 0)
                continue;
            u_long n = 0;
            if (ioctlsocket(s, FIONREAD, &n) != 0 || n == 0)
                break;
            if (!HasReceivers()) {
                Sleep(5);
                continue;
            }
            int got =
                recv(s, buffer.data(), static_cast<int>(std::min<u_long>(n, buffer.size())), 0);
            if (got <= 0)
                break;
            DoDataReceived(buffer.data(), static_cast<std::uint32_t>(got));
        }
    }

    void SendChar(wchar_t ch) override { Sent += ch; }
    void SendString(const AnsiString& s) override { Sent += AnsiToString(s); }
    void SendData(const std::uint8_t* b, std::uint32_t n) override {
        for (std::uint32_t i = 0; i < n; ++i)
            Sent += static_cast<wchar_t>(b[i]);
    }

    void EnumerateDevices() override {
        ++Enumerations;
        ClearDeviceList();
        for (const String& name : DeviceNames) {
            auto* d = new TkvDevice;
            d->NameFriendly = name;
            AddDevice(d);
        }
    }
    std::int32_t GetDeviceIndex() override { return fDeviceIndex; }
    void SetDeviceIndex(std::int32_t v) override {
        fDeviceIndex = v;
        TkvBaseIO::SetDeviceIndex(v);
    }
    int Updates = 0;
    void Update() override {
        ++Updates;
        TkvBaseIO::Update();
    }

    // Writes bytes from the far end.
    void Receive(const std::string& bytes) {
        send(Far, bytes.data(), static_cast<int>(bytes.size()), 0);
    }

private:
    std::int32_t fDeviceIndex = -1;
};
