#pragma once
// kvclasses: the component core that every transport builds on.
//
//   TkvNotifyList           subscribers of a component's notifications
//   TkvDevice               one entry of a transport's device list
//   TkvCustomLogFile        the abstract log that components write to
//   TkvBaseIO               the base I/O component: open/close, reader thread, receive
//                           dispatch, terminal binding, device list, notifications
//   TkvThreadIO             the reader thread of one connection of a TkvBaseIO
//   TkvCustomDataProcessor  a component between an I/O component and the application
//   TkvTimer                a window timer on a hidden window
//   TkvCallGate, TkvLink    calls that other threads make into a component, and the
//                           links they follow
//
// Threads. The main thread runs the message loop, property writers, Loaded, the device
// list and normally the open and close sequences. Each open connection (TkvConnection)
// has one reader thread. Where each event runs, and what a handler may call:
//
//   OnOpen, notification 2        the thread that wrote Active true, during the open
//   OnClose, notification 1       the thread that closed: the writer of Active false, the
//                                 destructor, or the reader when the medium failed
//   OnReceived, the processor's   the reader; with UseMainThread the main thread, while
//     DoProcessing                the reader waits
//   the terminal's writes         the main thread, from its message loop (see TkvBaseIO)
//   the processor's DeviceNotify  where the notification is raised (above)
//   the processor's DoTimerAsync  the thread that created the processor
//
// Active is one state: closed, opening, open or closing, changed only by the thread that
// claims it, so two opens or two closes never overlap. Per connection the events pair up:
// the open's events (OnOpen, and a transport's own) all come before any of its close
// events, which come at most once and only after a completed open. The reader starts
// before OnOpen but receives only once the open has raised its events. Active written
// during the open's events by the opening thread takes effect when they are done; written
// by another thread while a close runs, it waits for the close to end.
//
// After Active = false or the destructor returns, no handler of that connection runs or is
// still running, on any thread: the close stops the connection (every library wait inside
// a handler then returns at once) and waits for its reader, serving sent messages and
// synchronized calls on the main thread, so a handler that waits for the main thread
// cannot deadlock it. The one exception is the caller itself: a reader-thread handler
// that closes finishes its own body.
//
// A handler may write Active either way (Active true from a handler of the close events
// opens a new connection at once, so an automatic reconnect from OnDisconnect works), send, read,
// link and unlink the terminal, the processor and the log (on another thread than the main one
// these writers are handed to the main thread and wait for it), and destroy a linked processor or
// log. Objects of the component tree are destroyed on the main thread; a processor or log destroyed
// on another thread hands its unlinking to the main thread. A call that serves messages while it
// waits checks afterwards that its object still lives, and returns at once when a handler destroyed
// it. Destroying a processor, a log or an I/O component waits until no other thread's call into it
// is in progress and lets no new one begin (TkvCallGate). Controls are touched on the main thread
// only. What cannot be made safe is refused: TkvTimer's writers throw Exception on another thread
// than its own.

#include "toolkit/components.h"
#include "toolkit/controls.h"
#include "toolkit/events.h"
#include "toolkit/format.h"
#include "toolkit/lists.h"
#include "toolkit/sets.h"
#include "toolkit/stdctrls.h"
#include "toolkit/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <windows.h>

class TkvBaseIO;
class TkvCustomDataProcessor;
class TkvTerminalFeed;
class TkvTerminalFeed;

// ---- Shared types

enum TTerminalUsage : std::uint8_t { tuNone, tuSend, tuReceive, tuBoth };
enum TDetailLevel : std::uint8_t { dlSimple, dlDetail, dlDebug };
enum TIgnoreType : std::uint8_t { itTerminal, itEventList, itAfterReceive, itTraceState };
using TIgnoreTypes = TSet<TIgnoreType>;

using TOnFatalErrorEvent =
    TEvent<void(TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                const String& ErrorMsg, bool& RaiseException)>;
using TOnReceived = TEvent<void(TObject* Com, void* Buffer, std::uint32_t Received)>;
using TOnSent = TEvent<void(TObject* Com)>;
using TDataSendEvent = TEvent<void(TObject* Sender, std::uint8_t* ptrBuffer, std::uint32_t Len,
                                   bool flSynchro, bool& flHandled)>;
using TkvNotifyEvent = TEvent<void(TObject* Sender, std::int32_t Code)>;

// The handle value of a closed medium: all bits set (INVALID_HANDLE_VALUE, INVALID_SOCKET).
constexpr std::uintptr_t kvInvalidHandle = ~static_cast<std::uintptr_t>(0);

// The default of TerminalKeep: the characters a terminal keeps.
constexpr std::uint32_t kvTerminalKeep = 8 * 1024;

// Window message posted to a terminal when it is linked (WParam: the component) or
// unlinked (WParam 0).
constexpr UINT WM_KV_TERMINAL_LINK = 2999;

// A value that two threads read and write whole, under a lock of its own.
template <class T> class TkvLocked {
public:
    T Get() const {
        std::lock_guard<std::mutex> lock(fLock);
        return fValue;
    }
    void Set(const T& Value) {
        std::lock_guard<std::mutex> lock(fLock);
        fValue = Value;
    }

private:
    mutable std::mutex fLock;
    T fValue{};
};

// ---- Calls across threads

// The calls that other threads make into one component. A call enters the gate and
// leaves it; closing the gate (when the component goes) admits no new call and waits
// until every call of another thread has left, serving sent messages and synchronized
// calls meanwhile on the main thread. Calls of the closing thread itself, and of a thread
// that waits for it in a synchronized call, are not waited for: they are on its own stack.
// The gate outlives its component for as long as a link
// or a call holds it, so that a late caller finds it closed instead of a freed object.
class TkvCallGate {
public:
    TkvCallGate();
    ~TkvCallGate();
    TkvCallGate(const TkvCallGate&) = delete;
    TkvCallGate& operator=(const TkvCallGate&) = delete;

    bool Enter(); // false once closed
    void Leave();
    void Close();
    bool Closed() const;

private:
    mutable std::mutex fLock;
    bool fClosed = false;
    std::vector<DWORD> fCallers; // the thread of each call in progress
    HANDLE fLeft;                // set whenever a call leaves
};

// One call through a gate, for as long as it lives; empty when the gate was closed.
class TkvGateEntry {
public:
    TkvGateEntry() = default;
    explicit TkvGateEntry(std::shared_ptr<TkvCallGate> Gate) {
        if (Gate && Gate->Enter())
            fGate = std::move(Gate);
    }
    TkvGateEntry(TkvGateEntry&&) noexcept = default;
    TkvGateEntry& operator=(TkvGateEntry&&) = delete;
    ~TkvGateEntry() {
        if (fGate)
            fGate->Leave();
    }
    explicit operator bool() const { return fGate != nullptr; }

private:
    std::shared_ptr<TkvCallGate> fGate;
};

// What a component that other threads call into carries: its gate, which also tells
// whether the component is going.
class TkvCallTarget {
public:
    const std::shared_ptr<TkvCallGate>& CallGate() const { return fCallGate; }

    // Whether a handler destroyed the object since this note was taken. A call that serves
    // messages while it waits, or that calls a handler, takes one before and touches the
    // object no more once Ended. Objects are destroyed on the main thread, so only there
    // can a destruction happen under a call in progress; on any other thread a destruction
    // waits for the calls it must (the close waits for the reader, the state for its
    // owner), and the note never ends. Taken inside the destruction itself, it never ends.
    class TLife {
    public:
        explicit TLife(std::shared_ptr<TkvCallGate> Gate)
            : fGate(std::move(Gate)), fWatch(IsMainThread() && !fGate->Closed()) {}
        bool Ended() const { return fWatch && fGate->Closed(); }

    private:
        std::shared_ptr<TkvCallGate> fGate;
        bool fWatch;
    };
    TLife Life() const { return TLife(fCallGate); }

protected:
    // Admits no further call from other threads and waits for those in progress. The kv
    // base classes do it first in their destructors; a descendant whose overrides use
    // members of its own calls it first in its own destructor, before they go.
    void EndCalls() { fCallGate->Close(); }

private:
    std::shared_ptr<TkvCallGate> fCallGate = std::make_shared<TkvCallGate>();
};

// A link from one component to another (a TkvCallTarget) that other threads follow.
// Get reads it; Call follows it: the call holds the target's gate open while it lives,
// and is empty when nothing is linked or the target is going.
template <class T> class TkvLink {
public:
    class TCall {
    public:
        TCall(T* Target, std::shared_ptr<TkvCallGate> Gate) : fEntry(std::move(Gate)) {
            fTarget = fEntry ? Target : nullptr;
        }
        explicit operator bool() const { return fTarget != nullptr; }
        T* operator->() const { return fTarget; }
        T* Get() const { return fTarget; }

    private:
        TkvGateEntry fEntry;
        T* fTarget;
    };

    T* Get() const {
        std::lock_guard<std::mutex> lock(fLock);
        return fTarget;
    }
    void Set(T* Value) {
        std::shared_ptr<TkvCallGate> gate = Value ? Value->CallGate() : nullptr;
        std::lock_guard<std::mutex> lock(fLock);
        fTarget = Value;
        fGate = std::move(gate);
    }
    TCall Call() const {
        std::unique_lock<std::mutex> lock(fLock);
        T* target = fTarget;
        std::shared_ptr<TkvCallGate> gate = fGate;
        lock.unlock();
        return TCall(target, std::move(gate));
    }

private:
    mutable std::mutex fLock;
    T* fTarget = nullptr;
    std::shared_ptr<TkvCallGate> fGate;
};

// ---- TkvNotifyList

// The notification subscribers of a component: callbacks (TkvNotifyEvent) in order of
// subscription, each in a record of its own that the list owns.
//
// IndexOf matches a callback on its function and its context together, so two objects
// that subscribe with the same method are two entries. Call is re-entrant: a subscriber
// may add or remove entries (its own or others') while it is called; entries removed
// during the pass are not called, entries added during it are not called in this pass,
// and every other entry is called once, in order. An exception from a subscriber ends the
// pass and reaches the caller. The list may be changed and called from different threads:
// once Delete has returned, the removed callback is no longer running on another thread
// (Delete waits for it, serving the main thread's messages meanwhile) and is never
// called again.
class TkvNotifyList : public TList {
public:
    ~TkvNotifyList() override;

    int Add(TkvNotifyEvent Item);
    void Delete(int index);
    void Clear() override;
    int IndexOf(TkvNotifyEvent Item) const;
    void Call(TObject* Sender, std::int32_t Code);

protected:
    TkvNotifyEvent Get(int Index) const;
    void Put(int Index, TkvNotifyEvent Item);

private:
    struct TRecord {
        TkvNotifyEvent Event;
        std::uint64_t Serial; // tells a record from a later one at the same address
        // Its calls in progress; closed when the record is deleted. A call holds it, so
        // it outlives a record deleted by its own callback.
        std::shared_ptr<TkvCallGate> Calls = std::make_shared<TkvCallGate>();
    };

    mutable std::recursive_mutex fLock;
    std::uint64_t fNextSerial = 1;
};

// ---- TkvDevice

// One entry of a transport's device list. The component that lists it owns it and
// destroys it when it lists again, so keep positions, not pointers. TkvBT fills only
// GetIndex, GetParent and NameFriendly, and Handle for its radios; the other fields serve
// transports that list entries of the system's device manager (serial ports) and stay
// empty in this library. The Bluetooth objects keep what the platform reports in fields
// of their own (TkvBTRadio, TkvBTDevice in kvbt.h).
class TkvDevice : public TPersistent {
public:
    // The position in the owner's list (a radio's in the radio list), and the owner.
    int GetIndex() const { return fIndex; }
    TkvBaseIO* GetParent() const { return fParent; }

    // The medium's handle: a TkvBTRadio's radio handle, which the radio closes when it
    // goes; 0 for a remote device.
    std::uintptr_t Handle = 0;
    std::uintptr_t DevInst = 0; // the device-manager instance
    // The key by which InsertDevice keeps a list in order; TkvBT appends and leaves it 0.
    std::int32_t Data = 0;
    std::int32_t DataEx = 0;
    // The name to show, as the platform reports it; also the entry's text in the list.
    String NameFriendly;
    // Device-manager texts: physical device object, DOS device and symbolic link names,
    // registry key, description, service, driver, instance id, bus relations, port name
    // ("COM3"), manufacturer, serial number; and the setup class.
    String NamePDO;
    String NameDeviceDos;
    String NameSymbolic;
    String RegKey;
    String Description;
    String Service;
    String Driver;
    String InstanceId;
    String BusRelations;
    String PortName;
    String Manufacturer;
    String SerialNumber;
    GUID GuidClass{};

protected:
    std::int32_t fIndex = 0;
    TkvBaseIO* fParent = nullptr;
    friend class TkvBaseIO;
};

// ---- TkvCustomLogFile

// The abstract log. A concrete log implements the operations it supports; the others
// raise EAbstractError. Components write to it from their reader threads too; its
// destruction waits for those writes (see TkvCallTarget::EndCalls).
class TkvCustomLogFile : public TComponent, public TkvCallTarget {
public:
    ~TkvCustomLogFile() override;

    // Calls OnFatalError, then throws Exception(Msg) unless the handler cleared the flag.
    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const String& Msg);
    virtual void Save();
    virtual void Clear();
    virtual void Add(const String& s);
    virtual void AddSysInfo();
    virtual void AddLog(TDetailLevel l, const String& s);
    virtual void AddFmt(const String& Fmt, const TVarRecs& Args);
    virtual void AddLogFmt(TDetailLevel l, const String& Fmt, const TVarRecs& Args);

    TOnFatalErrorEvent GetOnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(TOnFatalErrorEvent Value) { fOnFatalError = Value; }

protected:
    explicit TkvCustomLogFile(TComponent* AOwner) : TComponent(AOwner) {}

    TOnFatalErrorEvent fOnFatalError;
};

// ---- TkvConnection

// One open medium of a TkvBaseIO, from its open to its end. The component holds it while
// it is current, its reader while it runs, and each call that uses it for the length of
// the call; a transport's own connection (a descendant) releases the medium when the last
// of them lets go, so that no thread ever uses a handle the platform may have given out
// again. Nothing finds a connection by its handle: its reader is given it.
//
// A connection ends in one of these ways, each through one close sequence:
//  - the application closes it (Active false, the destructor): the closer stops it and
//    waits for its reader;
//  - the medium fails or the peer ends it: its reader's wait says so, and the reader
//    closes it;
//  - a receive handler throws: the reader leaves its loop and closes it.
// Stop is final and ends every wait on the connection at once: the reader's, and those
// of calls made on it (reads, sends that wait for room).
//
// Shared by threads (who writes / who reads):
//  - the stop (Stop, any thread / everyone);
//  - the opened signal (the opening thread, once its events are raised / the reader,
//    which receives nothing before);
//  - the reader's thread id (the opening thread, before the reader starts / closers) and
//    its end (the reader, once it has left the component for good / closers).
class TkvConnection {
public:
    explicit TkvConnection(std::uintptr_t Handle);
    virtual ~TkvConnection();
    TkvConnection(const TkvConnection&) = delete;
    TkvConnection& operator=(const TkvConnection&) = delete;

    std::uintptr_t Handle() const { return fHandle; }
    void Stop();
    bool Stopped() const { return fStopped; }
    // Set once stopped: for a wait that ends on the stop as well.
    HANDLE StopEvent() const { return fStop; }

protected:
    // Called once, by the first Stop, after the stop event is set: a descendant wakes what
    // waits in the platform on the connection's behalf.
    virtual void Stopping() {}

private:
    friend class TkvBaseIO;
    friend class TkvThreadIO;

    const std::uintptr_t fHandle;
    std::atomic<bool> fStopped{false};
    HANDLE fStop;                  // manual reset
    HANDLE fOpened;                // manual reset: the open has raised all its events
    HANDLE fReaderEnded;           // manual reset: no reader, or it has left the component for good
    std::atomic<DWORD> fReader{0}; // the reader's thread, 0 without one
};

// ---- TkvThreadIO

// The reader of one connection of a TkvBaseIO: its body waits until the open has raised
// its events (or the connection stopped), then runs the component's ThreadIOExecute with
// COM initialised (multithreaded). It releases itself when its body returns. Once its
// connection has stopped it touches the component no more: a closer waits for it, or,
// when it cannot (the reader is the closer, or waits for it in a synchronized call), the
// reader ends by itself.
class TkvThreadIO : public TThread {
public:
    TkvThreadIO(TkvBaseIO* akvLink, std::shared_ptr<TkvConnection> Connection, TThreadPriority pr);

    using TThread::Synchronize;

    // The connection this reader serves.
    const std::shared_ptr<TkvConnection>& Connection() const { return fConnection; }

protected:
    void Execute() override;

private:
    TkvBaseIO* const fkvLink;
    const std::shared_ptr<TkvConnection> fConnection;
    friend class TkvBaseIO;
};

// ---- TkvBaseIO

// The base of every transport. The transport supplies OpenHandle, ThreadIOExecute (and
// sets isThreaded before the open sequence when it wants a reader thread),
// EnumerateDevices, GetDeviceIndex/SetDeviceIndex and the send operations; the base runs
// the sequences around them.
//
// Active: while loading or designing it reads and stores fActive; otherwise it reads
// IsOpened and writing it opens or closes (see the contract above). In the design state a
// switch-on is a test: open, remember the outcome in fActive, close again.
//
// Notification codes of DoNotify: 1 medium closed, 2 medium opened, 3 device list or
// selected device changed.
//
// The reader loop's contract (ThreadIOExecute, given the reader's TkvThreadIO): loop while
// IsThreadIOTerminated() is false; wait for input on the reader's own connection
// (Thread->Connection()) and leave the loop when the wait or the read fails or nothing is
// pending; leave input unread while HasReceivers is false; else read it and call
// DoDataReceived, and look at the stop before touching the component again (a handler
// may have closed it, or destroyed it from the main thread). After the loop, unless
// stopped, call ConnectionEnded: the medium failed, and the reader closes its connection.
//
// The terminal. Only the main thread writes it. The receive dispatch hands each block
// that is for the terminal to a queue of the component's and goes on to OnReceived: a
// reader never waits for the window. The main thread writes what waits from its message
// loop, soon after it arrives and in short turns, so that the window keeps answering
// whatever the data; text that TerminalKeep would cut at once is never inserted. With
// TerminalKeep 0 nothing is dropped: while more than 1 MiB waits, the reader waits for
// the window (and stops waiting when it is told to stop). Received text goes in at the
// caret, replacing a selection, and the control scrolls the caret into view: a user who
// scrolls back while the caret is at the end is taken there again by the next text. A
// received block of one byte acts as a typed key (a backspace deletes). Every key the
// user types is sent, also while received text is written; only the received keys are
// not sent back. A transport's close on the main thread writes what waits before its
// close events (TkvBT does, FlushTerminal); relinking or unlinking the terminal, or
// changing TerminalUsage, writes what waits into the terminal it came for first.
class TkvBaseIO : public TComponent, public TkvCallTarget {
public:
    ~TkvBaseIO() override;

    // ---- Life cycle and medium
    virtual bool IsOpened();
    virtual std::uintptr_t OpenHandle();
    virtual void ReleaseHandle(std::uintptr_t Handle);
    virtual bool HasReceivers();
    // Ends an open that waits on the platform, quietly: no fatal error, no exception,
    // nothing left open. Writing Active false calls it; the base's open does not wait.
    virtual void CancelOpen();
    virtual void StartThreadIO();
    virtual void StopThreadIO();
    virtual void ThreadIOExecute(TkvThreadIO* Thread);
    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const String& Msg);
    virtual void DoNotify(std::int32_t Code);
    virtual void DoDataReceived(void* Buffer, std::uint32_t Len);
    virtual bool AfterSendComplete();
    virtual void SetDeviceIndex(std::int32_t Value);
    virtual std::int32_t GetDeviceIndex();
    virtual int AddDevice(TkvDevice* aDevice);
    virtual int InsertDevice(TkvDevice* aDevice);
    virtual void EnumerateDevices();
    virtual void ClearDeviceList();
    // Writes one received block into the terminal now, on the main thread (from another
    // thread it is handed to the main thread and waits). The dispatch's queue writes
    // through it: a key as a block of one byte, text as longer blocks.
    virtual void TerminalWrite(const std::uint8_t* Buffer, std::int32_t Len);
    virtual void Update();
    virtual void NotifyAdd(TkvNotifyEvent NotifyEvent);
    virtual void NotifyDelete(TkvNotifyEvent NotifyEvent);
    virtual void SendChar(wchar_t Ch);
    virtual void SendString(const AnsiString& S);
    virtual void SendData(const std::uint8_t* Buff, std::uint32_t N);
    virtual void ClearDeviceInput();
    virtual void ClearDeviceOutput();
    virtual void ClearDeviceBuffers();
    virtual void GetDeviceList(TStrings* L);
    virtual bool WMDeviceChange(TMessage& Msg);

    void Loaded() override;

    // ---- Devices
    TkvDevice* GetDevice(int Index) const;
    int IndexOfDevice(const TkvDevice* aDevice) const;
    int DeviceCount() const { return slDevices.Count(); }

    // Writes one line to the attached log: sLogPrefix and the text; empty text writes
    // system information.
    void LogMessage(TDetailLevel Level, const String& Msg);

    // True for a reader whose connection has stopped (called on a reader's thread, of that
    // reader; elsewhere, of the current connection, and true when there is none).
    bool IsThreadIOTerminated() const;

    // ---- Properties
    bool GetActive();
    void SetActive(bool Value);
    TMemo* GetTerminal() const { return fTerminal; }
    // Terminal and TerminalUsage are written on the main thread; from another thread the
    // write is handed to it (Synchronize).
    void SetTerminal(TMemo* Value);
    TTerminalUsage GetTerminalUsage() const { return fTerminalUsage; }
    void SetTerminalUsage(TTerminalUsage Value);
    bool GetTerminalEcho() const { return fTerminalEcho; }
    void SetTerminalEcho(bool Value) { fTerminalEcho = Value; }
    // The characters the terminal keeps (0: all). Once it holds a quarter more, the
    // oldest lines go (cut after a line break where there is one; inside a long line
    // deeper, so that at most 4,096 characters of it remain); of received text longer
    // than this only its tail goes in. A caret at the end stays there, in view; a
    // selection elsewhere, and the view, stay on the same text.
    std::uint32_t GetTerminalKeep() const { return fTerminalKeep; }
    void SetTerminalKeep(std::uint32_t Value) { fTerminalKeep = Value; }
    TThreadPriority GetPriority() const { return fPriority; }
    void SetPriority(TThreadPriority Value) { fPriority = Value; }
    bool GetUseMainThread() const { return fUseMainThread; }
    void SetUseMainThread(bool Value) { fUseMainThread = Value; }
    TkvCustomLogFile* GetLog() const { return fLog.Get(); }
    // Log and DataProcessor are written on the main thread, like Terminal.
    void SetLog(TkvCustomLogFile* Value);
    TkvCustomDataProcessor* GetDataProcessor() const { return fDataProcessor.Get(); }
    void SetDataProcessor(TkvCustomDataProcessor* Value);
    TOnFatalErrorEvent GetOnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(TOnFatalErrorEvent Value) { fOnFatalError = Value; }
    TNotifyEvent GetOnOpen() const { return fOnOpen.Get(); }
    void SetOnOpen(TNotifyEvent Value) { fOnOpen.Set(Value); }
    TNotifyEvent GetOnClose() const { return fOnClose.Get(); }
    void SetOnClose(TNotifyEvent Value) { fOnClose.Set(Value); }
    TOnReceived GetOnReceived() const { return fOnReceived.Get(); }
    void SetOnReceived(TOnReceived Value) { fOnReceived.Set(Value); }

    // The procedure installed in front of the terminal's own (see SetTerminal).
    void TerminalWndProc(TMessage& Message);

protected:
    explicit TkvBaseIO(TComponent* AOwner);

    void Notification(TComponent* AComponent, TOperation Operation) override;

    // The open sequence, run by Active true once the state is claimed: OpenHandle, the
    // connection (NewConnection), its reader when isThreaded, OnOpen. A transport extends
    // it with its own events.
    virtual void DoOpen();
    // The close sequence, run once per connection by whoever claimed its close: the
    // reader stopped and waited for (StopThreadIO), the handle released, OnClose. A
    // transport extends it with its own events. Nothing without a connection.
    virtual void DoClose();
    // The connection for a handle that OpenHandle returned; a transport with a connection
    // of its own returns that.
    virtual std::shared_ptr<TkvConnection> NewConnection(std::uintptr_t Handle);
    // The current connection: open, or in its open's events or its close; else none.
    std::shared_ptr<TkvConnection> CurrentConnection() const;
    // For the reader, after its loop ended by itself: closes its connection when that is
    // still the current one.
    void ConnectionEnded(TkvThreadIO* Thread);
    // For the transport's destructor, once it has stopped admitting calls: closes an open
    // connection (its events raised, an exception from them dropped), ends an open in
    // progress quietly, and waits for every reader that it can wait for.
    void EndConnections();
    // Writes all received text that waits for the terminal, at once. On the main thread
    // only; elsewhere it does nothing (the main thread writes it when it gets to it). The
    // close sequence calls it before OnClose.
    void FlushTerminal();

    // The log prefix; unset, the run-time class name stands in.
    String LogPrefix() const { return sLogPrefix ? *sLogPrefix : ClassName(); }

    TkvNotifyList kvNotifyList;
    TkvLink<TkvCustomLogFile> fLog;
    TkvLink<TkvCustomDataProcessor> fDataProcessor;
    TOnFatalErrorEvent fOnFatalError;
    TStringList slDevices;
    std::atomic<HWND> hTerminal{nullptr};
    std::atomic<TTerminalUsage> fTerminalUsage{tuNone};
    std::atomic<TMemo*> fTerminal{nullptr};
    std::atomic<bool> fTerminalEcho{false};
    TWndMethod fOldTerminalWndProc;
    std::atomic<std::uint32_t> fTerminalKeep{kvTerminalKeep};
    std::atomic<std::uint32_t> fTerminalWritten{0}; // characters since the last length check
    TkvLocked<TNotifyEvent> fOnClose;
    TkvLocked<TNotifyEvent> fOnOpen;
    TkvLocked<TOnReceived> fOnReceived;
    std::atomic<bool> fUseMainThread{false};
    TThreadPriority fPriority = tpNormal;
    bool fActive = false;
    std::atomic<std::uintptr_t> fHandle{kvInvalidHandle};
    std::optional<String> sLogPrefix;
    bool flClearDeviceListWithFree = true;
    std::atomic<bool> isThreaded{false};

private:
    struct THandOff;
    enum class TState { Closed, Opening, Open, Closing };

    // Opens when closed; nothing when open or opening. Claims the state, runs DoOpen.
    void Open();
    // Closes when open, cancels an open that waits, defers a close asked for by the
    // opening thread during its events; nothing when closed.
    void Close();
    // The close sequence of the claimed connection, then the state closed (unless a
    // handler of it opened a new one).
    void CloseClaimed();
    // The end of an open: the state open (the reader receives from now on) or closed, and
    // a close asked for during the open's events now.
    void FinishOpen();
    // Under fStateLock: this thread takes the state.
    void Claim(TState State);
    // Under fStateLock: a settled state.
    void Settle(TState State);
    // Waits until the state is closed or open, serving sent messages and synchronized
    // calls on the main thread.
    void WaitSettled();
    // Waits for the reader of a stopped connection; false when this thread cannot (it is
    // the reader, or the reader waits for it in a synchronized call).
    bool WaitReader(const TkvConnection& Connection);
    // The reader that runs on the calling thread, when it is one of this component's.
    TkvThreadIO* OwnReader() const;
    void UnhookTerminal(TMemo* Terminal);

    // The terminal's queue (kvclasses_terminalfeed.h) and the main thread's writes of it.
    enum class TTerminalWrite {
        Paced, // a turn, once the pause after the last one has passed
        Slice, // a turn now
        All    // everything now
    };
    static std::shared_ptr<TkvTerminalFeed> NewTerminalFeed(TkvBaseIO* Component);
    void PassToTerminal(const void* Buffer, std::uint32_t Len); // the receive dispatch's step
    void WriteTerminalPending(TTerminalWrite How);
    void TrimTerminalIfDue();
    const std::shared_ptr<TkvTerminalFeed> fTerminalFeed = NewTerminalFeed(this);
    bool fTerminalWriting = false; // the main thread's: a write is in progress

    // The state of Active and the connection it concerns (who writes: the thread that
    // claims a transition; everyone reads under the lock).
    mutable std::mutex fStateLock;
    TState fState = TState::Closed;
    DWORD fStateOwner = 0;        // the thread running an opening or a closing
    bool fCloseAfterOpen = false; // Active false by the opening thread during its events
    // Manual reset, set while closed or open; shared, so that a wait on it outlives a
    // component that a handler destroyed meanwhile.
    std::shared_ptr<void> fSettled;
    std::shared_ptr<TkvConnection> fConnection;
    // Closed connections whose readers could not be waited for by their closer; the
    // destructor waits for those still held (a reader holds its connection until it ends).
    std::vector<std::weak_ptr<TkvConnection>> fUnwaited;

    friend class TkvThreadIO;
    friend class TkvCustomDataProcessor; // flushes the medium handle after a send
};

// ---- TkvTimer

// A timer on a hidden window of the thread that creates it: OnTimer runs on that thread,
// from its message loop, every Interval milliseconds while Enabled, Interval is not 0 and
// OnTimer is assigned. Every effective change restarts the countdown; writing OnTimer
// always does. Exceptions from OnTimer are dropped and the timer keeps running. Its
// writers are called on its own thread (elsewhere they throw Exception, for the platform
// timer would not start); Restart may be called from any thread. Destroying it on
// another thread hands the window's end to its own thread and waits for it.
class TkvTimer : public TObject {
public:
    TkvTimer();
    ~TkvTimer() override;

    bool GetEnabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    std::uint32_t GetInterval() const { return FInterval; }
    void SetInterval(std::uint32_t Value);
    TNotifyEvent GetOnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent Value);
    // Writes Enabled false and, when Start, stores Interval directly (unless 0) and writes
    // Enabled true: at once on the timer's own thread, posted to it from any other.
    void Restart(bool Start, std::uint32_t Interval = 0);

protected:
    // Calls OnTimer when enabled and assigned; descendants may extend it.
    virtual void Timer();

private:
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
    void UpdateTimer();
    void WndProc(TMessage& Msg);
    void CheckThread() const;
    void DoRestart(bool Start, std::uint32_t Interval);
    void DestroyWindowAndTimer(); // on the window's own thread

    std::uint32_t FInterval = 1000;
    HWND FWindowHandle = nullptr;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
    DWORD fThreadId; // the thread whose window it is
};

// ---- TkvCustomDataProcessor

// The base of the components that interpret a transport's byte stream. It links to its
// device (the I/O component) and subscribes to its notifications, forwards received
// blocks to a chained processor, logs, and offers two send paths that an OnDataSend
// handler may take over; a taken-over send completes (DoAfterSendComplete) one async
// timer interval after the last of a burst, on the thread that created the processor,
// whichever thread sent. A chain that would lead back to the processor is refused.
// Its destruction waits until no other thread's call into it is in progress (see
// TkvCallTarget::EndCalls for descendants).
class TkvCustomDataProcessor : public TComponent, public TkvCallTarget {
public:
    explicit TkvCustomDataProcessor(TComponent* AOwner);
    ~TkvCustomDataProcessor() override;

    virtual void DeviceNotify(TObject* Sender, std::int32_t Code);
    virtual void DoMediumClosed();
    virtual void DoMediumOpened();
    virtual void SetDataProcessor(TkvCustomDataProcessor* Value);
    virtual void SetDevice(TkvBaseIO* Value);
    virtual void SetActive(bool Value);
    virtual void DoDataSend(std::uint8_t* ptrBuffer, std::uint32_t Len);
    virtual void DoStringSend(const AnsiString& S);
    virtual void DoTimerAsync(TObject* Sender);
    virtual void SetAsyncTimer(std::uint32_t Interval);
    virtual void DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const String& Msg);
    virtual void DoProcessing(std::uint8_t* Data, std::uint32_t Len, TIgnoreTypes& R);
    virtual void DataReceive(std::uint8_t* ptrBuffer, std::uint32_t Len);
    virtual void DoAfterSendComplete(bool& flIgnore);

    bool GetActive() const { return fActive; }
    TkvBaseIO* GetDevice() const { return fDevice.Get(); }
    TkvCustomDataProcessor* GetDataProcessor() const { return fDataProcessor.Get(); }
    TkvCustomLogFile* GetLog() const { return fLog.Get(); }
    void SetLog(TkvCustomLogFile* Value);
    TOnFatalErrorEvent GetOnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(TOnFatalErrorEvent Value) { fOnFatalError = Value; }
    TDataSendEvent GetOnDataSend() const { return fOnDataSend; }
    void SetOnDataSend(TDataSendEvent Value) { fOnDataSend = Value; }
    // The async timer, for whoever needs to look at it.
    const TkvTimer& AsyncTimer() const { return *fTimerAsync; }

    void LogMessage(TDetailLevel Level, const String& Msg);
    void LogMessageFmt(TDetailLevel Level, const String& Fmt, const TVarRecs& Args);

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // The subscription: DeviceNotify, called through the processor's gate.
    TkvNotifyEvent NotifyCallback() {
        return TkvNotifyEvent::Bind<&TkvCustomDataProcessor::GatedDeviceNotify>(this);
    }

    TkvLink<TkvBaseIO> fDevice;
    TkvLink<TkvCustomDataProcessor> fDataProcessor;
    bool fActive = false;
    TOnFatalErrorEvent fOnFatalError;
    TkvLink<TkvCustomLogFile> fLog;
    TDataSendEvent fOnDataSend;
    TkvTimer* fTimerAsync;
    String sLogPrefix;

private:
    void GatedDeviceNotify(TObject* Sender, std::int32_t Code);
};

// Registers the core's classes with the form-file reader (idempotent), so that
// descendants can publish their properties.
void RegisterKvClasses();
