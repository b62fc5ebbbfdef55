// TkvBT: the open and close sequences, the reader loop, sending and reading.
//
// A connection ends in one of these ways, each through the close sequence once:
//  - the application closes it (Active false, destruction): the closer claims the
//    handle and shuts the socket down; the reader, told to stop, leaves within a tick;
//  - the peer closes it or the link fails: the reader's wait returns with nothing
//    pending, or fails, and the reader closes;
//  - the receive dispatch throws: the reader notes it and closes.
// The socket itself is closed by the last holder of the connection (TLink).
#include "components/kvbt.h"
#include "components/kvbt_opening.h"

#include "components/kvsysutils.h"
#include "toolkit/application.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <utility>

namespace {

// The reader looks at its connection at least this often: a close from another thread
// shuts the socket down, which does not wake a wait on it everywhere (not under Wine).
// Longer ticks cost an idle connection less; shorter ones end a closed reader sooner.
const long kReaderTickUs = 100000;
// The pause while received bytes wait unread (no receivers, or WaitForBytes runs).
const DWORD kUnreadPauseMs = 10;

} // namespace

// One connection: its socket and what the threads that use it share. Whoever holds it
// may call on the socket; the last holder closes the socket.
//
// Receives happen one at a time under fReceiveLock and take only bytes known to be there,
// so no receive ever blocks. Sends go out in the order they were made, through one
// sender at a time (fSending); what others send meanwhile waits in fQueue for it.
class TkvBT::TLink {
public:
    TLink(SOCKET Socket, int BufferSize)
        : Socket(Socket), BufferSize(BufferSize),
          fClosed(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          fWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          fSent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~TLink() {
        kvSocketApi.closesocket(Socket);
        CloseHandle(fClosed);
        CloseHandle(fWake);
        CloseHandle(fSent);
    }
    TLink(const TLink&) = delete;
    TLink& operator=(const TLink&) = delete;

    const SOCKET Socket;
    std::atomic<int> BufferSize; // of the reader's buffer, for its next receive
    std::atomic<int> DontRead{0}; // WaitForBytes calls in progress

    // Ends every wait on the connection; the peer sees the end now.
    void Close() {
        if (fIsClosed.exchange(true))
            return;
        SetEvent(fClosed);
        kvSocketApi.shutdown(Socket, SD_BOTH);
    }
    bool Closed() const { return fIsClosed; }

    void Wake() { SetEvent(fWake); }
    void Pause(DWORD Ms) { WaitForSingleObject(fWake, Ms); }

    // Bytes that can be read now.
    u_long Pending() {
        u_long pending = 0;
        kvSocketApi.ioctlsocket(Socket, FIONREAD, &pending);
        return pending;
    }

    // The reader's wait: the bytes pending, 0 when the tick passed, -1 when the
    // connection has ended (end of stream, or a failure). It also flushes what waits in
    // the queue once the socket takes more.
    long WaitPending() {
        if (u_long pending = PendingNow())
            return static_cast<long>(pending);
        fd_set readable, failed, writable;
        FD_ZERO(&readable);
        FD_SET(Socket, &readable);
        failed = writable = readable;
        const bool queued = Queued();
        timeval tick{0, kReaderTickUs};
        int ready = kvSocketApi.select(0, &readable, queued ? &writable : nullptr, &failed, &tick);
        if (ready == SOCKET_ERROR)
            return -1;
        if (queued && FD_ISSET(Socket, &writable))
            Flush();
        if (!FD_ISSET(Socket, &readable) && !FD_ISSET(Socket, &failed))
            return 0;
        std::lock_guard<std::mutex> lock(fReceiveLock);
        if (u_long pending = Pending())
            return static_cast<long>(pending);
        // Readable with nothing to read is the end, unless a Read took the bytes: then
        // the socket no longer looks readable.
        fd_set again;
        FD_ZERO(&again);
        FD_SET(Socket, &again);
        timeval now{0, 0};
        return kvSocketApi.select(0, &again, nullptr, nullptr, &now) == 0 ? 0 : -1;
    }

    // The reader's receive of bytes it counted (Known), into Buffer: never blocks. When a
    // Read took bytes since the count, it counts again. The bytes received, 0 when none
    // are left to take, -1 on failure.
    int ReceiveCounted(std::uint8_t* Buffer, int Size, u_long& Known) {
        std::lock_guard<std::mutex> lock(fReceiveLock);
        if (fReads != fReadsCounted) {
            fReadsCounted = fReads;
            Known = Pending();
        }
        if (Known == 0)
            return 0;
        // With bytes known to wait it returns at once, with all that has arrived by then.
        int got = kvSocketApi.recv(Socket, reinterpret_cast<char*>(Buffer), Size, 0);
        if (got <= 0)
            return -1;
        Known -= std::min<u_long>(Known, static_cast<u_long>(got));
        return got;
    }

    // A receive of what is there now, at most Size bytes; 0 when nothing is.
    std::uint32_t ReceiveNow(void* Buffer, std::uint32_t Size) {
        std::lock_guard<std::mutex> lock(fReceiveLock);
        u_long pending = Pending();
        if (pending == 0 || Size == 0)
            return 0;
        ++fReads;
        const u_long most = std::min<u_long>({pending, static_cast<u_long>(Size), INT_MAX});
        int got = kvSocketApi.recv(Socket, static_cast<char*>(Buffer), static_cast<int>(most), 0);
        return got > 0 ? static_cast<std::uint32_t>(got) : 0;
    }

    // Waits a little for bytes to come; on the main thread it serves its messages.
    void WaitReadable() {
        if (IsMainThread()) {
            MainThreadWait(fClosed, 5);
            return;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(Socket, &readable);
        timeval tick{0, kReaderTickUs};
        kvSocketApi.select(0, &readable, nullptr, &readable, &tick);
    }

    // Sends Data whole, after what is queued, and leaves the socket in the mode asked.
    // May wait: until the queue is out. The reader may not: it sends what the socket
    // takes and queues the rest, which it flushes from its loop.
    void Send(const char* Data, size_t Length, bool MayWait, bool Blocking) {
        const DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(fSendLock);
        if (fSending && (fSender == self || !MayWait)) {
            // A handler that this thread's own send serves, or the reader: behind it.
            fQueue.append(Data, Length);
            return;
        }
        while (fSending) {
            // Another thread sends: this send goes out whole after it.
            lock.unlock();
            if (Closed())
                return;
            MainThreadWait(fSent, 50);
            lock.lock();
        }
        fQueue.append(Data, Length);
        SendQueue(lock, MayWait, Blocking);
    }

    // The reader's part of the queue: what the socket takes now.
    void Flush() {
        std::unique_lock<std::mutex> lock(fSendLock);
        if (!fSending && !fQueue.empty())
            SendQueue(lock, false, std::nullopt);
    }

    bool Queued() {
        std::lock_guard<std::mutex> lock(fSendLock);
        return !fSending && !fQueue.empty();
    }

private:
    u_long PendingNow() {
        std::lock_guard<std::mutex> lock(fReceiveLock);
        return Pending();
    }

    void SetBlocking(bool Blocking) {
        u_long arg = Blocking ? 0 : 1;
        kvSocketApi.ioctlsocket(Socket, static_cast<long>(FIONBIO), &arg);
    }

    // Becomes the sender and sends the queue (Drain); then leaves the socket in the mode
    // asked, if any, and lets the next sender in.
    void SendQueue(std::unique_lock<std::mutex>& Lock, bool MayWait,
                   std::optional<bool> LeaveBlocking) {
        fSending = true;
        fSender = GetCurrentThreadId();
        SetBlocking(false);
        Drain(Lock, MayWait);
        if (LeaveBlocking && !Closed())
            SetBlocking(*LeaveBlocking);
        fSending = false;
        fSender = 0;
        Lock.unlock();
        SetEvent(fSent);
    }

    // Sends the queue, the lock held only between sends. Without MayWait it stops when
    // the socket is full. A closed or failed connection drops what is left.
    void Drain(std::unique_lock<std::mutex>& Lock, bool MayWait) {
        while (!fQueue.empty() && !Closed()) {
            std::string next;
            next.swap(fQueue);
            Lock.unlock();
            size_t sent = Put(next.data(), next.size(), MayWait);
            Lock.lock();
            if (sent < next.size()) {
                fQueue.insert(0, next, sent);
                if (!MayWait || fFailed)
                    break;
            }
        }
        if (Closed() || fFailed)
            fQueue.clear();
    }

    // Sends until all is out, the connection ends, or (without MayWait) the socket is
    // full; the bytes sent.
    size_t Put(const char* Data, size_t Length, bool MayWait) {
        size_t done = 0;
        while (done < Length && !Closed()) {
            int sent = kvSocketApi.send(
                Socket, Data + done, static_cast<int>(std::min<size_t>(Length - done, INT_MAX)), 0);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
                continue;
            }
            if (sent != SOCKET_ERROR || kvSocketApi.WSAGetLastError() != WSAEWOULDBLOCK) {
                fFailed = true; // the connection failed: sends report nothing
                break;
            }
            if (!MayWait)
                break;
            WaitWritable();
        }
        return done;
    }

    // Waits until the socket takes more, or a tick passes; the main thread meanwhile
    // serves sent messages and synchronized calls, which a reader may be waiting in.
    void WaitWritable() {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(Socket, &writable);
        const bool main = IsMainThread();
        timeval tick{0, main ? 1000 : kReaderTickUs};
        if (kvSocketApi.select(0, nullptr, &writable, nullptr, &tick) == 0 && main)
            MainThreadWait(fClosed, 0);
    }

    std::atomic<bool> fIsClosed{false};
    HANDLE fClosed; // set when closed
    HANDLE fWake;   // ends the reader's pause
    HANDLE fSent;   // set when a sender is done

    std::mutex fReceiveLock;
    std::uint32_t fReads = 0;        // receives by Read; under fReceiveLock
    std::uint32_t fReadsCounted = 0; // the reader's last look at fReads; under fReceiveLock

    std::mutex fSendLock;
    bool fSending = false; // a thread drains the queue
    DWORD fSender = 0;
    std::string fQueue;
    std::atomic<bool> fFailed{false};
};

std::shared_ptr<TkvBT::TLink> TkvBT::CurrentLink() const {
    std::lock_guard<std::mutex> lock(fLinkLock);
    return fLink;
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

    // The waits below serve messages: a handler may cancel the open or destroy the
    // component; then nothing of it is touched any more.
    const std::shared_ptr<TkvCallGate> self = CallGate();
    auto opening = std::make_shared<TOpening>(fConnectTimeout);
    {
        std::lock_guard<std::mutex> lock(fLinkLock);
        fOpening = opening;
    }
    struct TOver {
        TkvBT& Bt;
        const std::shared_ptr<TkvCallGate>& Self;
        ~TOver() {
            if (Self->Closed())
                return;
            std::lock_guard<std::mutex> lock(Bt.fLinkLock);
            Bt.fOpening = nullptr;
        }
    } over{*this, self};

    if (device->ServiceCount() <= 0) {
        TkvBTLookup lookup;
        const BLUETOOTH_ADDRESS remote = device->Address;
        auto end = opening->Run([&] { lookup = LookupServices(remote, &opening->Stop); }, [] {});
        if (end == TOpening::TEnd::Cancelled)
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

    SOCKET s = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (s == INVALID_SOCKET) {
        int code = kvSocketApi.WSAGetLastError();
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Socket error  # =2=" + IntToStr(code));
        return failed;
    }
    int code = 0;
    auto end = opening->Run(
        [&] {
            if (kvSocketApi.connect(s, reinterpret_cast<const sockaddr*>(&address),
                                    sizeof address) != 0)
                code = kvSocketApi.WSAGetLastError();
        },
        // Closing the socket ends a connect in progress; the work touches it no more.
        [&] { kvSocketApi.closesocket(s); });
    if (end == TOpening::TEnd::Cancelled)
        return failed;
    if (end == TOpening::TEnd::TimedOut)
        code = WSAETIMEDOUT;
    else if (code != 0)
        kvSocketApi.closesocket(s);
    if (code != 0) {
        DoFatalErrors(13, static_cast<std::uint32_t>(code),
                      L"Connect to selected bluetooth device failed # =1=" + IntToStr(code));
        return failed;
    }
    auto link = std::make_shared<TLink>(s, fBufferInSize.load());
    {
        std::lock_guard<std::mutex> lock(fLinkLock);
        fLink = link;
        fReaderLinks.push_back(link);
    }
    ++fOpens;
    fOpenedName = device->NameFriendly;
    fOpenedAddress = device->AddressAsStr();
    fOpenedClass = address.serviceClassId;
    return static_cast<std::uintptr_t>(s);
}

bool TkvBT::Opening() const {
    std::lock_guard<std::mutex> lock(fLinkLock);
    return fOpening != nullptr;
}

void TkvBT::CancelOpen() {
    std::lock_guard<std::mutex> lock(fLinkLock);
    if (fOpening)
        fOpening->Cancel();
}

void TkvBT::DoOpen() {
    if (Opening())
        return; // an open waits already: this one would only repeat it
    isThreaded = true;
    // A handler may close, reopen or destroy the component; then this open says no more.
    const std::shared_ptr<TkvCallGate> self = CallGate();
    const std::uint64_t opens = fOpens;
    auto stillThisOne = [&] { return !self->Closed() && IsOpened() && fOpens == opens + 1; };
    TkvBaseIO::DoOpen();
    if (!stillThisOne())
        return;
    LogMessage(dlDetail, L"Opened: " + fOpenedName + L" " + fOpenedAddress + L" " +
                             GuidToString(fOpenedClass));
    GetSocketBufferSizes();
    if (TNotifyEvent onConnect = fOnConnect.Get())
        onConnect(this);
    if (!stillThisOne())
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

void TkvBT::ReleaseHandle(std::uintptr_t Handle) {
    isThreaded = false;
    std::shared_ptr<TLink> link;
    {
        std::lock_guard<std::mutex> lock(fLinkLock);
        if (fLink && fLink->Socket == static_cast<SOCKET>(Handle))
            link = std::move(fLink);
        // A reader that has not started yet finds its connection gone, and ends.
        std::erase(fReaderLinks, link);
    }
    if (link)
        link->Close(); // its last holder, the reader most likely, closes the socket
}

void TkvBT::DoClose() {
    if (!ReleaseMedium())
        return; // no connection, or not this thread's: nothing to tell
    const std::shared_ptr<TkvCallGate> self = CallGate();
    FlushTerminal();
    RaiseOnClose();
    if (self->Closed())
        return;
    DoNotify(1);
    if (self->Closed())
        return;
    if (TNotifyEvent onDisconnect = fOnDisconnect.Get())
        onDisconnect(this);
}

// ---- The reader

void TkvBT::ThreadIOExecute(TkvThreadIO* Thread) {
    TkvBaseIO::ThreadIOExecute(Thread);
    std::shared_ptr<TLink> link;
    {
        // Every link waiting here is alive, so their sockets differ.
        std::lock_guard<std::mutex> lock(fLinkLock);
        auto mine = std::find_if(fReaderLinks.begin(), fReaderLinks.end(), [&](const auto& l) {
            return l->Socket == static_cast<SOCKET>(Thread->Medium());
        });
        if (mine == fReaderLinks.end())
            return;
        link = std::move(*mine);
        fReaderLinks.erase(mine);
    }
    try {
        ReaderLoop(*Thread, *link);
    } catch (...) {
        OutputDebugStringW(L"Thread except 0 ...");
    }
    if (Thread->Released())
        return; // the component has gone
    const bool stopped = IsThreadIOTerminated();
    Thread->Terminate();
    OutputDebugStringW(L"Thread Exit!");
    if (!stopped)
        DoClose(); // this reader's connection only, if nobody has closed it
}

void TkvBT::ReaderLoop(TkvThreadIO& Thread, TLink& Link) {
    std::vector<std::uint8_t> buffer(static_cast<size_t>(Link.BufferSize.load()));
    // Bytes the last count showed waiting and not yet received: while some are left, the
    // next pass receives them without waiting and counting again, so that a backlog
    // larger than the buffer costs one receive per buffer-full.
    u_long known = 0;
    while (!IsThreadIOTerminated()) {
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
        if (Thread.Released())
            return;
        Link.Flush(); // what this thread's handlers sent and the socket did not take at once
    }
}

void TkvBT::ReallocBuffer() {
    if (std::shared_ptr<TLink> link = CurrentLink())
        link->BufferSize = fBufferInSize.load(); // the reader takes it before its next receive
}

// ---- Sending and reading

void TkvBT::Send(const char* Data, std::uint32_t Length, bool Blocking) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link || Length == 0)
        return;
    link->Send(Data, Length, !OnReaderThread(), Blocking);
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
    std::shared_ptr<TLink> link = CurrentLink();
    return link ? static_cast<std::uint32_t>(link->Pending()) : 0;
}

void TkvBT::Read(void* Buffer, std::uint32_t Len) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link || Len == 0)
        return;
    for (;;) {
        if (std::uint32_t got = link->ReceiveNow(Buffer, Len)) {
            edx += got;
            return;
        }
        if (link->Closed())
            return;
        link->WaitReadable();
    }
}

void TkvBT::ReadAll(void* Buffer) {
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return;
    edx += link->ReceiveNow(Buffer, static_cast<std::uint32_t>(link->Pending()));
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

bool TkvBT::WaitForBytes(std::uint32_t Count, std::uint32_t Ms) {
    // Only the connection is used after a message was processed: a handler may have
    // closed or destroyed the component.
    std::shared_ptr<TLink> link = CurrentLink();
    if (!link)
        return false;
    ++link->DontRead;
    DWORD start = GetTickCount();
    bool result = false;
    while (GetTickCount() - start <= Ms && !link->Closed()) {
        if (link->Pending() >= Count) {
            result = true;
            break;
        }
        Sleep(1);
        if (Application)
            Application->ProcessMessages();
    }
    --link->DontRead;
    link->Wake();
    return result;
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
