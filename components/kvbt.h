#pragma once
// kvbt: the Bluetooth client component TkvBT and the radio, device and service objects
// that its discovery finds.
//
// Every Bluetooth and service-lookup call goes through the kvbtw32 binding; every other
// Winsock call, the start-up and clean-up included, goes through kvSocketApi
// (kvbt_sockets.h).

#include "components/kvbt_sockets.h"
#include "components/kvbtw32.h"
#include "components/kvbt_address.h"
#include "components/kvclasses.h"
#include "toolkit/datetime.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// The service classes that a service lookup queries, in this order. Entry 0 (Dial-up
// Networking) is also the class a connection uses when no service is selected.
extern const GUID BtServiceClasses[18];

enum TkvBtDeviceEnumerateElement : std::uint8_t {
    bteAuthenticated,
    bteRemembered,
    bteUnknown,
    bteConnected,
    bteIssueInquiry,
    bteAllRadios
};
using TkvBtDeviceEnumerate = TSet<TkvBtDeviceEnumerateElement>;

// ---- Radio, service and device objects

// A local radio. It keeps the radio handle that the enumeration delivered in Handle and
// closes it when it goes; NameFriendly is the radio's name.
class TkvBTRadio : public TkvDevice {
public:
    TkvBTRadio(TkvBaseIO* aOwner, int aIndex);
    ~TkvBTRadio() override;
    TkvBTRadio(const TkvBTRadio&) = delete;
    TkvBTRadio& operator=(const TkvBTRadio&) = delete;

    BLUETOOTH_ADDRESS Address{}; // BtAddressToText gives "00:1A:7D:DA:70:01"

    // Read from and written to the platform each time; false without the Bluetooth functions.
    bool GetIsConnectable() const;
    void SetIsConnectable(bool Value);
    bool GetIsDiscoverable() const;
    void SetIsDiscoverable(bool Value);
};

// One service record of a remote device. QuerySet is a copy of the record whose texts
// and whose class id, addresses and blob the service keeps itself, so that all of it stays
// readable after the lookup; the other pointers are null, the numbers as delivered.
class TkvBTService {
public:
    TkvBTService() = default;
    TkvBTService(const TkvBTService&) = delete;
    TkvBTService& operator=(const TkvBTService&) = delete;

    void SetInfo(const WSAQUERYSETA& aQuerySet);

    const String& Caption() const { return fCaption; }
    const String& Comment() const { return fComment; }
    const GUID& Guid() const { return fGUID; }
    WSAQUERYSETA QuerySet() const { return fQuerySet; }

    String fCaption;
    String fComment;
    GUID fGUID{};
    WSAQUERYSETA fQuerySet{};

private:
    AnsiString fAnsiCaption;
    AnsiString fAnsiComment;
    GUID fClassId{};
    std::vector<CSADDR_INFO> fAddresses;
    std::vector<SOCKADDR_STORAGE> fSockaddrs;
    std::vector<BYTE> fBlobData;
    BLOB fBlob{};
};

// What one service lookup found: the services in the order of the lookup, and the
// Winsock code of a lookup that could not begin (0 when every begin succeeded).
struct TkvBTLookup {
    std::vector<std::unique_ptr<TkvBTService>> Services;
    int LastError = 0;
};

// The service lookup of the device at Address: every class of BtServiceClasses in order,
// the services of a class in the order the platform delivers them. A begin that finds no
// record of a class goes on with the next; any other failure ends the lookup with its
// code; a record too large for the buffer is asked for again with the size it needs. It
// calls the platform only, so any thread may run it; Stop, once true, ends it before the
// next class.
TkvBTLookup LookupServices(const BLUETOOTH_ADDRESS& Address,
                           const std::atomic<bool>* Stop = nullptr);

// A remote device, as the device search delivered it, with the services of its last
// lookup.
class TkvBTDevice : public TkvDevice {
public:
    TkvBTDevice();
    ~TkvBTDevice() override;

    void ClearServices();
    int ServiceCount() const { return fServices.Count(); }
    // The service at that position; EListError outside the list.
    TkvBTService* GetServices(int Index) const;
    int GetServiceIndex() const { return fServiceIndex; }
    void SetServiceIndex(int Value) { fServiceIndex = Value; }
    // "(00:1A:7D:DA:71:13)": byte 5 first, upper-case hexadecimal.
    String AddressAsStr() const;

    // The service lookup (LookupServices of its address), applied.
    void Update();
    // Takes a lookup's outcome: its services replace the device's, the first becomes
    // the selected one when none stood, a selection is at most clamped to the last
    // service, and its code goes to fLastError.
    void Apply(TkvBTLookup Lookup);

    TList fServices;        // owns its TkvBTService objects; empty until a lookup
    int fServiceIndex = -1; // the service a connection uses; -1: Dial-up Networking
    int fLastError = 0;     // the Winsock code the last lookup failed with, else 0
    BLUETOOTH_ADDRESS Address{};
    // The search's record as delivered: class of device (ulClassofDevice), the flags
    // fConnected, fRemembered and fAuthenticated, the name and the times.
    BLUETOOTH_DEVICE_INFO btInfo{};
    TDateTime LastSeen = 0; // 0 when the platform gave no time
    TDateTime LastUsed = 0;
    int IndexRadio = 0; // the position of the radio whose search found it
};

// ---- TkvBT

// The Bluetooth client: discovery of radios and devices, an RFCOMM connection to the
// selected device's selected service (Dial-up Networking when none is selected), a
// reader thread that hands every received block to the receive dispatch, and the
// system's dialogs.
//
// Connections. Each connection is an object of its own (kvbt_link.h) that holds its
// socket, a Winsock start-up of its own (so Winsock never ends under its socket), the
// receive side, the send queue and a writer thread; the component holds it while open,
// its reader while it runs, and each call on it for the length of the call; the last of
// them closes the socket. Active follows the contract of kvclasses.h: one state, events
// that pair up per connection, and a close that waits for the connection's reader, so that
// after Active = false or the destructor returns no handler of it runs. A receive never
// blocks: it takes bytes known to be there.
//
// Sending. SendChar, SendString and SendData put their bytes on the connection's queue and
// return; the connection's writer sends them out in order, each send's bytes together, on
// a thread of its own, also while a handler waits for an answer (on the reader thread or,
// with UseMainThread, on the main thread). Unlike the plain calls on the caller's thread
// that they once were, they never block the window on a slow peer; the socket stays
// non-blocking. A send that takes the queue past SendQueueLimit waits until it is back
// under the limit: on the main thread serving all its messages (as the open does),
// elsewhere plainly; the connection's end or the component's destruction ends the wait.
// QueuedToSend and WaitSent tell when the bytes have gone out. Active = false and the
// destructor first let the queue go out while the socket takes it, for 2 s at most, then
// close; a link that drops loses what is queued, and SendLost tells how much.
//
// Opening. Writing Active true returns once the open sequence has ended, as it always
// did, but the platform's blocking calls (the service lookup, the socket's connect) run on
// a worker thread meanwhile, and the thread that opens waits for them serving its
// messages: on the main thread, with an application object, all of them, so that the
// window paints, moves and answers input. Everything else of the sequence (fatal errors,
// events, notifications) still runs on the opening thread, in its order. While an open
// waits, writing Active true again does nothing; writing Active false, Update,
// re-enumerating or clearing the lists, the dialogs, destroying the component or its form,
// or the end of the program cancel it: the open ends at once and quietly (no OnConnect, no
// fatal error, no exception), nothing left open. ConnectTimeout (milliseconds, 0 for the
// platform's own limit) bounds the whole open: a connect that has not succeeded in time
// fails with WSAETIMEDOUT as a refused one does, a lookup that has not ended in time ends
// with WSAETIMEDOUT as its code. A worker that is cancelled or times out is let go: it
// holds its own Winsock start-up and its own hold on the Bluetooth library, ends by
// itself, closes its own late socket and touches nothing of the component; a new open
// may start meanwhile.
//
// Winsock. The component starts Winsock when made and cleans up when it goes; each
// connection, and each open's worker, holds a start-up of its own until it is done.
//
// Threads of the events (see kvclasses.h for the rest):
//   OnConnect, notification 2     the thread that wrote Active true
//   OnDisconnect                  the thread that closed, or the reader when the link
//                                 dropped or a receive handler threw
//   OnFatalError                  the thread that wrote Active true
// A handler of any of them may write Active either way (an automatic reconnect from
// OnDisconnect works, on either thread), send, read, WaitForBytes, write BufferInSize and
// relink. An exception from OnDisconnect reaches whoever closed, except in the destructor,
// which cannot pass it on and drops it.
class TkvBT : public TkvBaseIO {
public:
    explicit TkvBT(TComponent* AOwner);
    // Closes an open connection (letting its queue go out first) and waits for its reader.
    ~TkvBT() override;

    void Loaded() override;

    // ---- A program without windows
    // A console program needs no application object (TApplication). The thread that
    // started the program is the main thread: create, use and destroy the components on
    // it. Without an application object every wait of the component on the main thread
    // serves its sent messages and synchronized calls; with one, the waits of an open, of
    // a send over SendQueueLimit, of WaitSent, Read and WaitForBytes serve every message,
    // so that windows paint (a close's waits still serve only the former). A
    // reader that hands work to the main thread (UseMainThread, or a handler that writes
    // Terminal, Log or DataProcessor) waits until the main thread serves it: while the
    // program waits for anything else, let it wait in MainThreadWait(handle) or call
    // CheckSynchronize() (toolkit/thread.h), or run a message loop. Destroy the
    // components before main returns, not in static destructors; UnloadBtApis is not
    // needed (kvbtw32.h).
    //
    // ---- What an open that fails reports
    // Writing Active true when no connection can be made calls OnFatalError(Sender, 13,
    // Detail, text, RaiseException) on the opening thread, writes "Fatal Error: 13,
    // Detail, text" to the log, then throws Exception(text) out of the write of Active,
    // unless the handler cleared RaiseException (and never while the component is still
    // loading from its form). The component stays closed: no OnOpen, no OnConnect.
    //   Detail  text
    //   3       "Bluetooth system API is not found."
    //   1       "There are no bluetooth adapters"
    //   1       "There are no bluetooth devices."
    //   2       "There are no selected bluetooth devices."
    //   4       "The selected bluetooth device is not in the device list."
    //   5       "The selected service is not in the service list of the selected
    //           bluetooth device."
    //   N       "Socket error  # =0= N"       the service lookup failed with Winsock code N
    //   N       "Socket error  # =2=N"        no socket could be made
    //   N       "Connect to selected bluetooth device failed # =1=N"   the connect failed
    // A ConnectTimeout that runs out gives N = 10060 (WSAETIMEDOUT) in the lookup's or
    // the connect's line. An open that is cancelled reports nothing.

    // ---- Discovery (main thread)
    // Update lists the local radios (EnumerateRadios), then the remote devices that
    // DeviceEnum asks for (EnumerateDevices), then tells the device boxes (notification
    // 3). By default DeviceEnum asks every radio for the devices it remembers and those
    // connected now, with no inquiry: {bteRemembered, bteConnected, bteAllRadios},
    // DeviceEnumTimeout 5. With bteIssueInquiry and a DeviceEnumTimeout above 0 each
    // searched radio also looks for devices in range, holding the calling thread about
    // DeviceEnumTimeout seconds per radio. Devices stand in the order of their radios, a
    // device once for each radio that reports it (IndexOfAddress finds the first). With
    // bteAllRadios clear only the radio at RadioIndex is searched; an index outside the
    // radio list throws EListError. Every Update cancels an open that waits, destroys the
    // radio and device objects of the last one (pointers to them dangle) and keeps
    // RadioIndex and DeviceIndex as numbers. Without the Bluetooth functions both lists
    // stay empty; nothing of discovery is reported or logged.
    void Update() override;
    void EnumerateRadios();
    void EnumerateDevices() override;
    // Cancels an open in progress first: it uses the device.
    void ClearDeviceList() override;
    void ClearRadios();
    int RadioCount() const { return lRadios.Count(); }
    // EListError outside the radio list.
    TkvBTRadio* GetRadio(int Index) const;
    TkvBTDevice* GetBTDevice(int Index) const {
        return static_cast<TkvBTDevice*>(GetDevice(Index));
    }
    int IndexOfAddress(BLUETOOTH_ADDRESS Address) const;
    // The listed devices that Text names, as positions in the device list: the device
    // with that address (in any form TextToBtAddress reads); else those whose friendly
    // name equals Text, ignoring case; else those whose name begins with it, ignoring
    // case. A device that several radios report counts once, at its first entry. Empty
    // when nothing fits (or Text is empty); more than one when Text is ambiguous.
    std::vector<int> FindDevices(const String& Text) const;

    std::int32_t GetDeviceIndex() override { return fDeviceIndex; }
    void SetDeviceIndex(std::int32_t Value) override;
    int GetRadioIndex() const { return fRadioIndex; }
    void SetRadioIndex(int Value);
    TkvBtDeviceEnumerate GetDeviceEnum() const { return fDeviceEnum; }
    void SetDeviceEnum(TkvBtDeviceEnumerate Value);
    int GetDeviceEnumTimeout() const { return fDeviceEnumTimeout; }
    void SetDeviceEnumTimeout(int Value);

    // ---- Connection and transfer (nothing on a closed one)
    // Queue their bytes and return (see Sending above).
    void SendChar(wchar_t Ch) override;
    void SendString(const AnsiString& S) override;
    void SendData(const std::uint8_t* Buff, std::uint32_t N) override;
    // Bytes sent and not yet taken by the socket; 0 when closed.
    size_t QueuedToSend();
    // Waits up to Ms milliseconds until every byte sent has gone to the socket, serving
    // messages on the main thread; false when the time ran out or the connection ended
    // first. True at once when nothing is queued.
    bool WaitSent(std::uint32_t Ms);
    // The bytes that the last closed connection still had queued: lost with a dropped link
    // (or a peer that did not take them within the close's 2 s). Read it in OnDisconnect.
    size_t SendLost() const { return fSendLost; }
    // The bytes queued beyond which a send waits (1 MiB unless set; 0: every send waits
    // until its bytes have gone out).
    size_t GetSendQueueLimit() const { return fSendQueueLimit; }
    void SetSendQueueLimit(size_t Value) { fSendQueueLimit = Value; }

    // ---- Reading. Received bytes wait in the socket until someone takes them: the
    // reader (for the processor, the terminal and OnReceived, whenever one of them is
    // there), or the reads below, whichever comes first; a read in a handler takes what
    // the next dispatch would have had. WaitForBytes, ReadUpTo and ReadUntil hold the
    // reader off while they wait, so that what arrives meanwhile stays for them; what they
    // leave goes to the next read or the next dispatch. On the main thread their waits
    // serve its messages; the connection's end ends them at once.

    // The bytes that can be read now (0 when closed). The count is also noted for this
    // thread's next ReadAll(Buffer).
    std::uint32_t ReadyForRead();
    // One receive of up to Len bytes: waits until some are there or the connection
    // closes; learn the count from ReadyForRead.
    void Read(void* Buffer, std::uint32_t Len);
    // The pending bytes, at most the count that this thread's last ReadyForRead gave
    // (which it uses up); nothing without one. Bytes that arrived since stay for the next
    // read. Never waits.
    void ReadAll(void* Buffer);
    // The pending bytes, at most Size; the count read. Never waits.
    std::uint32_t ReadAll(void* Buffer, std::uint32_t Size);
    // The pending bytes, one character per byte; never waits.
    String ReadString();
    // Up to Most bytes, as soon as at least one is there; empty after Ms milliseconds.
    AnsiString ReadUpTo(std::uint32_t Most, std::uint32_t Ms);
    // The bytes up to and including the first Delimiter (such as "OK\r\n"), once it has
    // arrived; after Ms milliseconds nothing, and nothing taken. It looks without taking,
    // then takes exactly that much: the rest stays.
    AnsiString ReadUntil(const AnsiString& Delimiter, std::uint32_t Ms);
    // Waits up to Ms milliseconds for Count pending bytes.
    bool WaitForBytes(std::uint32_t Count, std::uint32_t Ms);

    // Every byte received from the socket, once; wraps modulo 2^32.
    std::uint32_t TotalReceived() const { return edx; }
    int GetBufferInSize() const { return fBufferInSize; }
    // A size of 0 or below is refused.
    void SetBufferInSize(int Value);
    int GetBufferOutSize() const { return fBufferOutSize; }
    void SetBufferOutSize(int Value);

    std::uint32_t GetConnectTimeout() const { return fConnectTimeout; }
    void SetConnectTimeout(std::uint32_t Value) { fConnectTimeout = Value; }
    // True while an open waits on the platform.
    bool Opening() const;

    TNotifyEvent GetOnConnect() const { return fOnConnect.Get(); }
    void SetOnConnect(TNotifyEvent Value) { fOnConnect.Set(Value); }
    TNotifyEvent GetOnDisconnect() const { return fOnDisconnect.Get(); }
    void SetOnDisconnect(TNotifyEvent Value) { fOnDisconnect.Set(Value); }
    TOnReceived GetOnAfterReceive() const { return fOnAfterReceive; }
    void SetOnAfterReceive(TOnReceived Value) { fOnAfterReceive = Value; }
    TOnSent GetOnAfterSend() const { return fOnAfterSend; }
    void SetOnAfterSend(TOnSent Value) { fOnAfterSend = Value; }

    // ---- System dialogs and pairing
    // The system's property dialog of the selected device; nothing while RadioIndex or
    // DeviceIndex is negative or no device is listed at DeviceIndex.
    void ConfigDialog();
    bool SelectDeviceDialog(const String& sInfo, bool flForceAuth, bool flAddWiz,
                            bool flSkipServices);
    // Pairs the radio at RadioIndex with the selected device; false without both listed.
    bool AuthenticateDevice(const String& passKey);

protected:
    std::uintptr_t OpenHandle() override;
    // Nothing: the connection closes its socket when its last holder lets go of it.
    void ReleaseHandle(std::uintptr_t Handle) override;
    void DoOpen() override;
    void DoClose() override;
    std::shared_ptr<TkvConnection> NewConnection(std::uintptr_t Handle) override;
    void CancelOpen() override;
    void ThreadIOExecute(TkvThreadIO* Thread) override;

private:
    class TLink;
    class TOpening;

    void GetSocketBufferSizes();
    void ReallocBuffer();
    void ReaderLoop(TkvThreadIO& Thread, TLink& Link);
    void Send(const char* Data, std::uint32_t Length);
    // Polls Ready every millisecond for up to Ms, holding the reader off and serving
    // messages on the main thread; false at the limit or the connection's end. Ready may
    // use the link only: a handler may destroy the component meanwhile.
    template <class F> static bool HoldReader(TLink& Link, std::uint32_t Ms, F Ready);
    std::shared_ptr<TLink> CurrentLink() const;
    // The selected device when the selection lies inside the list, else none.
    TkvBTDevice* SelectedDevice() const;

    int fRadioIndex = 0;
    std::int32_t fDeviceIndex = -1;
    TList lRadios; // owns its TkvBTRadio objects
    TkvBtDeviceEnumerate fDeviceEnum{bteRemembered, bteConnected, bteAllRadios};
    int fDeviceEnumTimeout = 5;
    TkvLocked<TNotifyEvent> fOnConnect;
    TkvLocked<TNotifyEvent> fOnDisconnect;
    TOnReceived fOnAfterReceive;
    TOnSent fOnAfterSend;
    std::atomic<int> fBufferInSize{8192};
    int fBufferOutSize = 8192;
    std::atomic<std::uint32_t> edx{0};
    std::atomic<size_t> fSendQueueLimit{1 << 20};
    std::atomic<size_t> fSendLost{0};
    // What each thread's last ReadyForRead gave, for its next ReadAll.
    std::mutex fReadyLock;
    std::map<DWORD, std::uint32_t> fReadyCounts;

    // The open that waits on the platform now, for CancelOpen from any thread.
    mutable std::mutex fOpeningLock;
    std::shared_ptr<TOpening> fOpening;
    std::atomic<std::uint32_t> fConnectTimeout{0};
    // Made by OpenHandle, taken by NewConnection within the same open.
    std::shared_ptr<TLink> fNewLink;
    // What the "Opened: " line names, noted when the connection is made.
    String fOpenedName;
    String fOpenedAddress;
    GUID fOpenedClass{};
};

// Registers TkvBT with the form-file reader (idempotent).
void RegisterKvBtClasses();
