// TkvBT: the open and close sequences, the reader loop, sending and reading.
//
// A connection ends in one of these ways, each through the close sequence once:
//  - the application closes it (Active false, destruction): the closer claims the
//    handle and shuts the socket down; the reader notices within one tick and leaves;
//  - the peer closes it or the link fails: the reader's wait returns with nothing
//    pending, or fails, and the reader closes;
//  - the receive dispatch throws: the reader notes it and closes.
// In every case the reader closes its socket last, once no other thread's call on it
// is in progress.
#include "components/kvbt.h"

#include "components/kvsysutils.h"
#include "toolkit/application.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// The reader looks at its connection at least this often: a close from another thread
// shuts the socket down, which does not wake a wait on it everywhere (not under Wine).
// Longer ticks cost an idle connection less; shorter ones end a closed reader sooner.
const long kReaderTickUs = 100000;
// The pause while received bytes wait unread (no receivers, or WaitForBytes runs).
const DWORD kUnreadPauseMs = 10;

} // namespace

// Counts a call on the connection's socket; Socket() is invalid once it is closed.
class TkvBT::TSocketUse {
public:
    explicit TSocketUse(TkvBT& bt) : fBt(bt) {
        ++fBt.fSocketUsers;
        fSocket = static_cast<SOCKET>(fBt.fHandle.load());
    }
    ~TSocketUse() { --fBt.fSocketUsers; }
    SOCKET Socket() const { return fSocket; }

private:
    TkvBT& fBt;
    SOCKET fSocket;
};

// ---- Open

std::uintptr_t TkvBT::OpenHandle() {
    const std::uintptr_t failed = kvInvalidHandle;
    if (!LoadBtApi()) {
        DoFatalErrors(13, 3, L"Bluetooth system API is not found.");
        return failed;
    }
    if (RadioCount() == 0) {
        DoFatalErrors(13, 1, L"There are no bluetooth adapters");
        return failed;
    }
    if (DeviceCount() == 0) {
        DoFatalErrors(13, 1, L"There are no bluetooth devices.");
        return failed;
    }
    if (fDeviceIndex < 0) {
        DoFatalErrors(13, 2, L"There are no selected bluetooth devices.");
        return failed;
    }
    TkvBTDevice* device = SelectedDevice();
    if (!device) {
        DoFatalErrors(13, 4, L"The selected bluetooth device is not in the device list.");
        return failed;
    }
    SOCKADDR_BTH address{};
    address.addressFamily = AF_BTH;
    address.btAddr = device->Address.ullLong;
    if (device->ServiceCount() <= 0) {
        device->Update();
        if (int code = device->fLastError) {
            DoFatalErrors(13, static_cast<std::uint32_t>(code),
                          L"Socket error  # =0= " + IntToStr(code));
            return failed;
        }
    }
    int serviceIndex = device->GetServiceIndex();
    if (serviceIndex >= device->ServiceCount()) {
        DoFatalErrors(
            13, 5,
            L"The selected service is not in the service list of the selected bluetooth device.");
        return failed;
    }
    address.serviceClassId =
        serviceIndex < 0 ? BtServiceClasses[0] : device->GetServices(serviceIndex)->Guid();

    SOCKET s = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (s == INVALID_SOCKET) {
        int code = kvSocketApi.WSAGetLastError();
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Socket error  # =2=" + IntToStr(code));
        return failed;
    }
    if (kvSocketApi.connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int code = kvSocketApi.WSAGetLastError();
        kvSocketApi.closesocket(s);
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Connect to selected bluetooth device failed # =1=" + IntToStr(code));
        return failed;
    }
    fNonBlocking = false; // a new socket blocks
    fReaderSocket = s;
    fOpenedName = device->NameFriendly;
    fOpenedAddress = device->AddressAsStr();
    fOpenedClass = address.serviceClassId;
    return static_cast<std::uintptr_t>(s);
}

void TkvBT::DoOpen() {
    WaitThreadIO(); // the previous connection's reader has gone before the next one begins
    isThreaded = true;
    TkvBaseIO::DoOpen();
    if (!IsOpened())
        return;
    LogMessage(dlDetail, L"Opened: " + fOpenedName + L" " + fOpenedAddress + L" " +
                             GuidToString(fOpenedClass));
    GetSocketBufferSizes();
    if (fOnConnect)
        fOnConnect(this);
    DoNotify(2);
}

void TkvBT::GetSocketBufferSizes() {
    TSocketUse use(*this);
    int size = fBufferInSize;
    int length = sizeof size;
    kvSocketApi.getsockopt(use.Socket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size),
                           &length);
    if (size > 0 && size != fBufferInSize) {
        fBufferInSize = size;
        ReallocBuffer();
    }
    size = fBufferOutSize;
    length = sizeof size;
    kvSocketApi.getsockopt(use.Socket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size),
                           &length);
    fBufferOutSize = size;
}

// ---- Close

void TkvBT::ReleaseHandle(std::uintptr_t Handle) {
    isThreaded = false;
    // The peer sees the end now; the reader closes the socket when it leaves.
    kvSocketApi.shutdown(static_cast<SOCKET>(Handle), SD_BOTH);
}

void TkvBT::DoClose() {
    ++fSocketUsers; // the reader waits for this close's shutdown before it closes
    bool released = ReleaseMedium();
    --fSocketUsers;
    if (!released)
        return; // no connection: nothing to tell
    RaiseOnClose();
    DoNotify(1);
    if (TNotifyEvent onDisconnect = fOnDisconnect.Get())
        onDisconnect(this);
}

// ---- The reader

void TkvBT::ThreadIOExecute(TkvThreadIO* Thread) {
    TkvBaseIO::ThreadIOExecute(Thread);
    SOCKET socket = std::exchange(fReaderSocket, INVALID_SOCKET);
    // However the reader leaves, it closes its own socket last.
    struct TCloser {
        TkvBT& Bt;
        SOCKET Socket;
        ~TCloser() {
            while (Bt.fSocketUsers > 0)
                Sleep(1);
            if (Socket != INVALID_SOCKET)
                kvSocketApi.closesocket(Socket);
        }
    } closer{*this, socket};
    try {
        ReaderLoop(socket);
    } catch (...) {
        OutputDebugStringW(L"Thread except 0 ...");
    }
    IsThreadIOTerminated = true;
    OutputDebugStringW(L"Thread Exit!");
    DoClose();
}

void TkvBT::ReaderLoop(SOCKET Socket) {
    if (Socket == INVALID_SOCKET)
        return;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Socket, &set);
    // Bytes the last count showed waiting and not yet received: while some are left, the
    // next pass receives them without waiting and counting again, so that a backlog
    // larger than the buffer costs one receive per buffer-full.
    u_long known = 0;
    while (!IsThreadIOTerminated && fHandle == static_cast<std::uintptr_t>(Socket)) {
        if (known == 0) {
            // Count first: in a stream the next bytes have mostly arrived already, and a
            // count costs less than a wait.
            if (kvSocketApi.ioctlsocket(Socket, FIONREAD, &known) != 0)
                return; // the socket is gone
            if (known == 0) {
                fd_set readable = set, failed = set;
                timeval tick{0, kReaderTickUs};
                int ready = kvSocketApi.select(0, &readable, nullptr, &failed, &tick);
                if (ready == SOCKET_ERROR)
                    return;
                if (ready == 0)
                    continue;
                if (kvSocketApi.ioctlsocket(Socket, FIONREAD, &known) != 0 || known == 0)
                    return; // the peer closed, or the socket is gone
            }
            if (fNonBlocking)
                SetBlocking(Socket, true);
        }
        if (!HasReceivers() || flDontRead) {
            known = 0;
            WaitForSingleObject(fReaderWake, kUnreadPauseMs);
            continue;
        }
        if (fResizeBuffer.exchange(false))
            fBuffer.assign(static_cast<size_t>(fBufferInSize.load()), 0);
        // At most one buffer-full per pass; the rest waits for the next. With bytes known
        // to wait the receive returns at once, with all that has arrived by then.
        int got = kvSocketApi.recv(Socket, reinterpret_cast<char*>(fBuffer.data()),
                                   static_cast<int>(fBuffer.size()), 0);
        if (got == SOCKET_ERROR && kvSocketApi.WSAGetLastError() == WSAEWOULDBLOCK) {
            known =
                0; // a Read on another thread took them while a send left the socket non-blocking
            continue;
        }
        if (got <= 0)
            return;
        known -= std::min<u_long>(known, static_cast<u_long>(got));
        edx += static_cast<std::uint32_t>(got);
        DoDataReceived(fBuffer.data(), static_cast<std::uint32_t>(got));
    }
}

void TkvBT::ReallocBuffer() {
    bool readerRuns = fThreadIO && !fThreadIO->Finished();
    if (readerRuns) {
        fResizeBuffer = true; // the reader takes the new size before its next receive
        return;
    }
    fResizeBuffer = false;
    fBuffer.assign(static_cast<size_t>(fBufferInSize.load()), 0);
}

// ---- Sending and reading

void TkvBT::SetBlocking(SOCKET Socket, bool Blocking) {
    u_long arg = Blocking ? 0 : 1;
    kvSocketApi.ioctlsocket(Socket, static_cast<long>(FIONBIO), &arg);
    fNonBlocking = !Blocking;
}

void TkvBT::Send(const char* Data, std::uint32_t Length, bool Blocking) {
    TSocketUse use(*this);
    SOCKET s = use.Socket();
    if (s == INVALID_SOCKET)
        return;
    SetBlocking(s, Blocking);
    while (Length > 0) {
        int sent = kvSocketApi.send(s, Data,
                                    static_cast<int>(std::min<std::uint32_t>(Length, INT_MAX)), 0);
        if (sent > 0) {
            Data += sent;
            Length -= static_cast<std::uint32_t>(sent);
            continue;
        }
        if (sent != SOCKET_ERROR || kvSocketApi.WSAGetLastError() != WSAEWOULDBLOCK ||
            fHandle != static_cast<std::uintptr_t>(s))
            return; // the connection failed or was closed: sends report nothing
        // The socket is full: wait until it takes more.
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval tick{0, kReaderTickUs};
        kvSocketApi.select(0, nullptr, &writable, nullptr, &tick);
    }
}

void TkvBT::SendChar(wchar_t Ch) {
    char byte = static_cast<char>(Ch & 0xFF);
    Send(&byte, 1, true);
}

void TkvBT::SendString(const AnsiString& S) {
    Send(S.data(), static_cast<std::uint32_t>(S.size()), true);
}

void TkvBT::SendData(const std::uint8_t* Buff, std::uint32_t N) {
    Send(reinterpret_cast<const char*>(Buff), N, false);
}

std::uint32_t TkvBT::ReadyForRead() {
    TSocketUse use(*this);
    if (use.Socket() == INVALID_SOCKET)
        return 0;
    u_long pending = 0;
    kvSocketApi.ioctlsocket(use.Socket(), FIONREAD, &pending);
    return static_cast<std::uint32_t>(pending);
}

void TkvBT::Read(void* Buffer, std::uint32_t Len) {
    TSocketUse use(*this);
    if (use.Socket() == INVALID_SOCKET)
        return;
    SetBlocking(use.Socket(), true);
    int got = kvSocketApi.recv(use.Socket(), static_cast<char*>(Buffer),
                               static_cast<int>(std::min<std::uint32_t>(Len, INT_MAX)), 0);
    if (got > 0)
        edx += static_cast<std::uint32_t>(got);
}

void TkvBT::ReadAll(void* Buffer) {
    Read(Buffer, ReadyForRead());
}

String TkvBT::ReadString() {
    std::uint32_t n = ReadyForRead();
    if (n == 0)
        return {};
    std::vector<std::uint8_t> bytes(n);
    Read(bytes.data(), n);
    return String(bytes.begin(), bytes.end()); // one character per byte, its code the byte
}

bool TkvBT::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    if (!IsOpened())
        return false;
    flDontRead = true;
    DWORD start = GetTickCount();
    bool result = false;
    while (GetTickCount() - start <= Ms && IsOpened()) {
        if (ReadyForRead() >= Count) {
            result = true;
            break;
        }
        Sleep(1);
        if (Application)
            Application->ProcessMessages();
    }
    flDontRead = false;
    SetEvent(fReaderWake);
    return result;
}

void TkvBT::SetBufferInSize(int Value) {
    if (Value == fBufferInSize || Value <= 0)
        return;
    fBufferInSize = Value;
    ReallocBuffer();
    TSocketUse use(*this);
    if (use.Socket() != INVALID_SOCKET)
        kvSocketApi.setsockopt(use.Socket(), SOL_SOCKET, SO_RCVBUF,
                               reinterpret_cast<const char*>(&Value), sizeof Value);
}

void TkvBT::SetBufferOutSize(int Value) {
    if (Value == fBufferOutSize)
        return;
    fBufferOutSize = Value;
    TSocketUse use(*this);
    if (use.Socket() != INVALID_SOCKET)
        kvSocketApi.setsockopt(use.Socket(), SOL_SOCKET, SO_SNDBUF,
                               reinterpret_cast<const char*>(&Value), sizeof Value);
}
