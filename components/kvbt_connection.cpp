// TkvBT: the open and close sequences, the reader loop, sending and reading. The ways a
// connection ends, and what its threads share, are in kvbt_link.h.
#include "components/kvbt.h"
#include "components/kvbt_link.h"
#include "components/kvbt_opening.h"

#include "components/kvsysutils.h"
#include "toolkit/application.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

// The pause while received bytes wait unread (no receivers, or WaitForBytes runs).
const DWORD kUnreadPauseMs = 10;
// How long a close lets what is queued go out first.
const DWORD kCloseDrainMs = 2000;

// What an open's worker got for the connect: a connected socket, or a code.
struct TConnected {
    SOCKET Socket = INVALID_SOCKET;
    int SocketError = 0;  // socket failed
    int ConnectError = 0; // connect failed; the socket is closed
};

// The worker's connect: a socket of its own, connected, unless the open gave up first.
TConnected Connect(const SOCKADDR_BTH& Address, const std::atomic<bool>& Stop) {
    TConnected result;
    if (Stop)
        return result;
    result.Socket = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (result.Socket == INVALID_SOCKET) {
        result.SocketError = kvSocketApi.WSAGetLastError();
        return result;
    }
    if (kvSocketApi.connect(result.Socket, reinterpret_cast<const sockaddr*>(&Address),
                            sizeof Address) != 0) {
        result.ConnectError = kvSocketApi.WSAGetLastError();
        kvSocketApi.closesocket(std::exchange(result.Socket, INVALID_SOCKET));
    }
    return result;
}

} // namespace

std::shared_ptr<TkvBT::TLink> TkvBT::CurrentLink() const {
    return std::static_pointer_cast<TLink>(CurrentConnection());
}

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

    // The waits below serve messages: a handler may cancel the open (which the lists'
    // clearing does too, so the device lives while it is not cancelled) or destroy the
    // component; then nothing of it is touched any more.
    const TLife life = Life();
    auto opening = std::make_shared<TOpening>(fConnectTimeout);
    // CancelOpen finds the open while it lasts.
    struct TWaiting {
        TkvBT& Bt;
        const TLife& Life;
        TWaiting(TkvBT& B, const TLife& L, std::shared_ptr<TOpening> Opening) : Bt(B), Life(L) {
            std::lock_guard<std::mutex> lock(Bt.fOpeningLock);
            Bt.fOpening = std::move(Opening);
        }
        ~TWaiting() {
            if (Life.Ended())
                return;
            std::lock_guard<std::mutex> lock(Bt.fOpeningLock);
            Bt.fOpening = nullptr;
        }
    } waiting(*this, life, opening);
    auto waited = [&](TOpening::TEnd End) {
        return !life.Ended() && End != TOpening::TEnd::Cancelled;
    };

    if (device->ServiceCount() <= 0) {
        TkvBTLookup lookup;
        const BLUETOOTH_ADDRESS remote = device->Address;
        auto end = opening->Run<TkvBTLookup>(
            [remote](const std::atomic<bool>& Stop) { return LookupServices(remote, &Stop); },
            [](TkvBTLookup&) {}, lookup);
        if (!waited(end))
            return failed;
        if (end == TOpening::TEnd::TimedOut)
            lookup = TkvBTLookup{{}, WSAETIMEDOUT};
        device->Apply(std::move(lookup));
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

    TConnected connected;
    auto end = opening->Run<TConnected>(
        [address](const std::atomic<bool>& Stop) { return Connect(address, Stop); },
        [](TConnected& Late) {
            if (Late.Socket != INVALID_SOCKET)
                kvSocketApi.closesocket(Late.Socket);
        },
        connected);
    if (!waited(end))
        return failed;
    if (end == TOpening::TEnd::TimedOut)
        connected.ConnectError = WSAETIMEDOUT;
    if (int code = connected.SocketError) {
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Socket error  # =2=" + IntToStr(code));
        return failed;
    }
    if (int code = connected.ConnectError) {
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Connect to selected bluetooth device failed # =1=" + IntToStr(code));
        return failed;
    }
    fNewLink = std::make_shared<TLink>(connected.Socket, fBufferInSize.load());
    fOpenedName = device->NameFriendly;
    fOpenedAddress = device->AddressAsStr();
    fOpenedClass = address.serviceClassId;
    return static_cast<std::uintptr_t>(connected.Socket);
}

std::shared_ptr<TkvConnection> TkvBT::NewConnection(std::uintptr_t) {
    return std::move(fNewLink);
}

bool TkvBT::Opening() const {
    std::lock_guard<std::mutex> lock(fOpeningLock);
    return fOpening != nullptr;
}

void TkvBT::CancelOpen() {
    std::lock_guard<std::mutex> lock(fOpeningLock);
    if (fOpening)
        fOpening->Cancel();
}

void TkvBT::DoOpen() {
    isThreaded = true;
    // A handler may destroy the component; then this open says no more. Active written by
    // a handler of this thread takes effect once the open's events are raised.
    const TLife life = Life();
    TkvBaseIO::DoOpen();
    if (life.Ended() || !IsOpened())
        return;
    LogMessage(dlDetail, L"Opened: " + fOpenedName + L" " + fOpenedAddress + L" " +
                             GuidToString(fOpenedClass));
    GetSocketBufferSizes();
    if (TNotifyEvent onConnect = fOnConnect.Get())
        onConnect(this);
    if (life.Ended())
        return;
    DoNotify(2);
}

void TkvBT::GetSocketBufferSizes() {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return;
    int size = fBufferInSize;
    int length = sizeof size;
    kvSocketApi.getsockopt(link->Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size),
                           &length);
    if (size > 0 && size != fBufferInSize) {
        fBufferInSize = size;
        ReallocBuffer();
    }
    size = fBufferOutSize;
    length = sizeof size;
    kvSocketApi.getsockopt(link->Socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size),
                           &length);
    fBufferOutSize = size;
}

// ---- Close

void TkvBT::ReleaseHandle(std::uintptr_t) {}

void TkvBT::DoClose() {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return; // no connection: nothing to tell
    const TLife life = Life();
    // What was sent before the close goes out first (a stopped link takes nothing more).
    // Only sent messages and synchronized calls are served meanwhile.
    link->WaitQueued(0, kCloseDrainMs, life, false);
    if (life.Ended())
        return;
    TkvBaseIO::DoClose(); // stops the link, waits for its reader, raises OnClose
    link->WaitWriter();
    fSendLost = link->Queued();
    {
        std::lock_guard<std::mutex> lock(fReadyLock);
        fReadyCounts.clear(); // the threads that read this connection
    }
    if (life.Ended())
        return;
    DoNotify(1);
    if (life.Ended())
        return;
    if (TNotifyEvent onDisconnect = fOnDisconnect.Get())
        onDisconnect(this);
}

// ---- The reader

void TkvBT::ThreadIOExecute(TkvThreadIO* Thread) {
    TkvBaseIO::ThreadIOExecute(Thread);
    auto link = std::static_pointer_cast<TLink>(Thread->Connection());
    try {
        ReaderLoop(*Thread, *link);
    } catch (...) {
        OutputDebugStringW(L"Thread except 0 ...");
    }
    OutputDebugStringW(L"Thread Exit!");
    if (link->Stopped())
        return;   // closed by someone else, who may have destroyed the component since
    link->Stop(); // the link has ended: what is queued is lost
    ConnectionEnded(Thread);
}

void TkvBT::ReaderLoop(TkvThreadIO&, TLink& Link) {
    std::vector<std::uint8_t> buffer(static_cast<size_t>(Link.BufferSize.load()));
    // Bytes the last count showed waiting and not yet received: while some are left, the
    // next pass receives them without waiting and counting again, so that a backlog
    // larger than the buffer costs one receive per buffer-full.
    u_long known = 0;
    while (!Link.Stopped()) {
        if (known == 0) {
            long pending = Link.WaitPending();
            if (pending < 0)
                return; // the peer closed, or the socket failed
            if (pending == 0)
                continue;
            known = static_cast<u_long>(pending);
        }
        if (!HasReceivers() || Link.DontRead > 0) {
            known = 0;
            Link.Pause(kUnreadPauseMs);
            continue;
        }
        if (static_cast<int>(buffer.size()) != Link.BufferSize)
            buffer.assign(static_cast<size_t>(Link.BufferSize.load()), 0);
        int got = Link.ReceiveCounted(buffer.data(), static_cast<int>(buffer.size()), known);
        if (got < 0)
            return;
        if (got == 0)
            continue; // a Read took them
        edx += static_cast<std::uint32_t>(got);
        DoDataReceived(buffer.data(), static_cast<std::uint32_t>(got));
    }
}

void TkvBT::ReallocBuffer() {
    if (std::shared_ptr<TLink> link = CurrentLink())
        link->BufferSize = fBufferInSize.load(); // the reader takes it before its next receive
}

// ---- Sending

void TkvBT::Send(const char* Data, std::uint32_t Length) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link || Length == 0)
        return;
    link->Send(Data, Length, fSendQueueLimit, Life());
}

void TkvBT::SendChar(wchar_t Ch) {
    char byte = static_cast<char>(Ch & 0xFF);
    Send(&byte, 1);
}

void TkvBT::SendString(const AnsiString& S) {
    Send(S.data(), static_cast<std::uint32_t>(S.size()));
}

void TkvBT::SendData(const std::uint8_t* Buff, std::uint32_t N) {
    Send(reinterpret_cast<const char*>(Buff), N);
}

size_t TkvBT::QueuedToSend() {
    std::shared_ptr<TLink> link = CurrentLink();
    return link ? link->Queued() : 0;
}

bool TkvBT::WaitSent(std::uint32_t Ms) {
    std::shared_ptr<TLink> link = CurrentLink();
    return !link || link->WaitQueued(0, Ms, Life(), true);
}

// ---- Reading

std::uint32_t TkvBT::ReadyForRead() {
    std::shared_ptr<TLink> link = CurrentLink();
    const auto ready = link ? static_cast<std::uint32_t>(link->Pending()) : 0;
    std::lock_guard<std::mutex> lock(fReadyLock);
    fReadyCounts[GetCurrentThreadId()] = ready;
    return ready;
}

void TkvBT::Read(void* Buffer, std::uint32_t Len) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link || Len == 0)
        return;
    const TLife life = Life();
    for (;;) {
        if (std::uint32_t got = link->ReceiveNow(Buffer, Len)) {
            edx += got;
            return;
        }
        if (link->Stopped())
            return;
        link->WaitReadable();
        if (life.Ended())
            return;
    }
}

void TkvBT::ReadAll(void* Buffer) {
    std::uint32_t ready;
    {
        std::lock_guard<std::mutex> lock(fReadyLock);
        auto noted = fReadyCounts.find(GetCurrentThreadId());
        if (noted == fReadyCounts.end())
            return; // the caller's buffer has no known size
        ready = noted->second;
        fReadyCounts.erase(noted);
    }
    ReadAll(Buffer, ready);
}

std::uint32_t TkvBT::ReadAll(void* Buffer, std::uint32_t Size) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return 0;
    const std::uint32_t got = link->ReceiveNow(Buffer, Size);
    edx += got;
    return got;
}

String TkvBT::ReadString() {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return {};
    std::vector<std::uint8_t> bytes(link->Pending());
    bytes.resize(link->ReceiveNow(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    edx += static_cast<std::uint32_t>(bytes.size());
    return String(bytes.begin(), bytes.end()); // one character per byte, its code the byte
}

template <class F> bool TkvBT::HoldReader(TLink& Link, std::uint32_t Ms, F Ready) {
    ++Link.DontRead;
    const DWORD start = GetTickCount();
    bool ready = false;
    while (GetTickCount() - start <= Ms && !Link.Stopped()) {
        if ((ready = Ready()))
            break;
        WaitServingMessages(Link.StopEvent(), 1);
    }
    --Link.DontRead;
    Link.Wake();
    return ready;
}

AnsiString TkvBT::ReadUpTo(std::uint32_t Most, std::uint32_t Ms) {
    std::shared_ptr<TLink> link = CurrentLink();
    AnsiString bytes;
    if (!link || Most == 0)
        return bytes;
    const TLife life = Life();
    HoldReader(*link, Ms, [&] {
        bytes.resize(Most);
        bytes.resize(link->ReceiveNow(bytes.data(), Most));
        return !bytes.empty();
    });
    if (!life.Ended())
        edx += static_cast<std::uint32_t>(bytes.size());
    return bytes;
}

AnsiString TkvBT::ReadUntil(const AnsiString& Delimiter, std::uint32_t Ms) {
    std::shared_ptr<TLink> link = CurrentLink();
    AnsiString bytes;
    if (!link || Delimiter.empty())
        return bytes;
    const TLife life = Life();
    u_long looked = 0; // the pending count last looked through
    HoldReader(*link, Ms, [&] {
        const u_long pending = link->Pending();
        if (pending == looked)
            return false;
        looked = pending;
        const size_t end = link->Peek().find(Delimiter);
        if (end == AnsiString::npos)
            return false;
        bytes.resize(end + Delimiter.size());
        bytes.resize(link->ReceiveNow(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
        return true;
    });
    if (!life.Ended())
        edx += static_cast<std::uint32_t>(bytes.size());
    return bytes;
}

bool TkvBT::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    std::shared_ptr<TLink> link = CurrentLink();
    return link && HoldReader(*link, Ms, [&] { return link->Pending() >= Count; });
}

void TkvBT::SetBufferInSize(int Value) {
    if (Value == fBufferInSize || Value <= 0)
        return;
    fBufferInSize = Value;
    ReallocBuffer();
    if (std::shared_ptr<TLink> link = CurrentLink())
        kvSocketApi.setsockopt(link->Socket, SOL_SOCKET, SO_RCVBUF,
                               reinterpret_cast<const char*>(&Value), sizeof Value);
}

void TkvBT::SetBufferOutSize(int Value) {
    if (Value == fBufferOutSize)
        return;
    fBufferOutSize = Value;
    if (std::shared_ptr<TLink> link = CurrentLink())
        kvSocketApi.setsockopt(link->Socket, SOL_SOCKET, SO_SNDBUF,
                               reinterpret_cast<const char*>(&Value), sizeof Value);
}
