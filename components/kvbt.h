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

// A local radio. It keeps the radio handle that the enumeration delivered and closes it
// when it goes.
class TkvBTRadio : public TkvDevice {
public:
    TkvBTRadio(TkvBaseIO* aOwner, int aIndex);
    ~TkvBTRadio() override;
    TkvBTRadio(const TkvBTRadio&) = delete;
    TkvBTRadio& operator=(const TkvBTRadio&) = delete;

    BLUETOOTH_ADDRESS Address{};

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

    TList fServices; // owns its TkvBTService objects
    int fServiceIndex = -1;
    int fLastError = 0;
    BLUETOOTH_ADDRESS Address{};
    BLUETOOTH_DEVICE_INFO btInfo{};
    TDateTime LastSeen = 0;
    TDateTime LastUsed = 0;
    int IndexRadio = 0;
};

// ---- TkvBT

// The Bluetooth client: discovery of radios and devices, an RFCOMM connection to the
// selected device's selected service (Dial-up Networking when none is selected), a
// reader thread that hands every received block to the receive dispatch, and the
// system's dialogs.
//
// Connections. Each connection is an object of its own that holds its socket and what
// the threads using it share; the component holds it while open, its reader while it
// runs, and each send or read for the length of the call; the last of them closes the
// socket, so no thread ever uses a socket value that Winsock may have reused. A close
// from any thread claims the connection first: the close sequence (OnClose, notification
// 1, OnDisconnect) runs once per connection, on whichever thread ended it, and a later
// close that finds no connection raises nothing. A reader serves its own connection only
// and receives into a buffer of its own; BufferInSize takes effect before its next
// receive. A receive never blocks: it takes bytes known to be there.
//
// Sends deliver all their bytes in order, each send's bytes together, until the
// connection closes or fails; they report nothing. A send on the main thread (or any
// thread but the reader) waits while the socket is full, serving sent messages and
// synchronized calls on the main thread; one made while another send of the connection
// is in progress waits for it, except that a send from a handler that this thread's own
// send is serving, and a send on the reader thread, go into the connection's queue behind
// it and return: the reader never waits for socket space, so it keeps receiving.
//
// Opening. Writing Active true returns once the open sequence has ended, as it always
// did, but the platform's blocking calls (the service lookup, the connect) run on a
// worker thread meanwhile, and the thread that opens waits for them serving its messages:
// on the main thread, with an application object, all of them, so that the window paints,
// moves and answers input. Everything else of the sequence (fatal errors, events,
// notifications) still runs on the opening thread, in its order. While an open waits,
// writing Active true again does nothing; writing Active false, Update, re-enumerating,
// the dialogs, destroying the component or its form, or the end of the program cancel it:
// the open ends quietly (no OnConnect, no fatal error, no exception), nothing left open.
// ConnectTimeout (milliseconds, 0 for the platform's own limit) bounds the open's waits
// together: a connect that has not succeeded in time fails with WSAETIMEDOUT as a refused
// one does, a lookup that has not ended in time ends with WSAETIMEDOUT as its code.
//
// Threads of the events (see kvclasses.h for the rest):
//   OnConnect, notification 2     the thread that wrote Active true
//   OnDisconnect                  the thread that closed, or the reader when the link
//                                 dropped or a receive handler threw
//   OnFatalError                  the thread that wrote Active true
// A handler of any of them may write Active either way (an automatic reconnect from
// OnDisconnect on the reader thread works; the old reader ends by itself), send, read,
// WaitForBytes, write BufferInSize and relink. An exception from OnDisconnect reaches
// whoever closed, except in the destructor, which cannot pass it on and drops it.
class TkvBT : public TkvBaseIO {
public:
    explicit TkvBT(TComponent* AOwner);
    // Closes an open connection and waits for its reader (pumping messages).
    ~TkvBT() override;

    void Loaded() override;

    // ---- Discovery
    void Update() override;
    void EnumerateRadios();
    void EnumerateDevices() override;
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

    // ---- Connection and transfer (all on the caller's thread; nothing on a closed one)
    void SendChar(wchar_t Ch) override;
    void SendString(const AnsiString& S) override;
    void SendData(const std::uint8_t* Buff, std::uint32_t N) override;
    // One receive of up to Len bytes: waits until some are there (serving messages on
    // the main thread) or the connection closes; learn the count from ReadyForRead.
    void Read(void* Buffer, std::uint32_t Len);
    // The bytes pending now, at most ReadyForRead of them; never waits.
    void ReadAll(void* Buffer);
    // The pending bytes, one character per byte; never waits.
    String ReadString();
    // Waits up to Ms milliseconds, processing messages, for Count pending bytes; the
    // reader leaves them unread meanwhile.
    bool WaitForBytes(std::uint32_t Count, std::uint32_t Ms);
    std::uint32_t ReadyForRead();
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
    void ReleaseHandle(std::uintptr_t Handle) override;
    void DoOpen() override;
    void DoClose() override;
    void CancelOpen() override;
    void ThreadIOExecute(TkvThreadIO* Thread) override;

private:
    class TLink;
    class TOpening;

    void GetSocketBufferSizes();
    void ReallocBuffer();
    void ReaderLoop(TkvThreadIO& Thread, TLink& Link);
    void Send(const char* Data, std::uint32_t Length, bool Blocking);
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

    // The open connection, and those whose readers have not started yet: OpenHandle adds
    // to both, each reader takes its own when it starts, even when the connection has
    // been closed by then.
    mutable std::mutex fLinkLock;
    std::shared_ptr<TLink> fLink;
    std::vector<std::shared_ptr<TLink>> fReaderLinks;
    std::atomic<std::uint64_t> fOpens{0}; // connections made, so an open sees a reopen inside it
    std::shared_ptr<TOpening> fOpening;   // the open that waits now, under fLinkLock
    std::atomic<std::uint32_t> fConnectTimeout{0};
    // What the "Opened: " line names, noted when the connection is made.
    String fOpenedName;
    String fOpenedAddress;
    GUID fOpenedClass{};
};

// Registers TkvBT with the form-file reader (idempotent).
void RegisterKvBtClasses();
