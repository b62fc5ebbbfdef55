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
// list and normally the open and close sequences. Each open connection has one reader
// thread. Where each event runs, and what a handler may call:
//
//   OnOpen, notification 2        the thread that wrote Active true, during the open
//   OnClose, notification 1       the thread that closed: the writer of Active false, the
//                                 destructor, or the reader when the medium failed
//   OnReceived, the processor's   the reader; with UseMainThread the main thread, while
//     DoProcessing                the reader waits. Blocks that still wait for the main
//                                 thread when their connection closes are not dispatched
//   the terminal's writes         the main thread, from its message loop (see TkvBaseIO)
//   the processor's DeviceNotify  where the notification is raised (above)
//   the processor's DoTimerAsync  the thread that created the processor
//
// From any of them a handler may write Active either way (a reopen from a reader-thread
// handler starts a new reader; the old one never touches the new connection), send,
// read, write BufferInSize, link and unlink the terminal, the processor and the log (on
// another thread than the main one these writers are handed to the main thread and
// wait for it), and destroy a linked processor or log. Destroying a processor, a log or
// an I/O component waits until no other thread's call into it is in progress and lets
// no new one begin (TkvCallGate); the waits of the main thread keep serving sent
// messages and synchronized calls, so a reader that waits for the main thread cannot
// deadlock them. Controls are touched on the main thread only. What cannot be made
// safe is refused: TkvTimer's writers throw Exception on another thread than its own.

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

// What a component that other threads call into carries: its gate.
class TkvCallTarget {
public:
    const std::shared_ptr<TkvCallGate>& CallGate() const { return fCallGate; }

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

// One entry of a transport's device list; the component that lists it owns it.
class TkvDevice : public TPersistent {
public:
    int GetIndex() const { return fIndex; }
    TkvBaseIO* GetParent() const { return fParent; }

    std::uintptr_t Handle = 0;
    std::uintptr_t DevInst = 0;
    std::int32_t Data = 0;
    std::int32_t DataEx = 0;
    String NameFriendly;
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

// ---- TkvThreadIO

// The reader of one connection of a TkvBaseIO: its body runs the component's
// ThreadIOExecute with COM initialised (multithreaded). It serves the medium handle that
// was open when it started (Medium) and has a stop flag of its own, so a late reader
// never touches the next connection. An exception that escapes the loop ends the thread
// quietly. The component keeps the object until the thread has ended; a reader that its
// component cannot wait for (it runs on the destroying thread's stack) is let go when the
// component goes: Released is then true and it must not touch the component again.
class TkvThreadIO : public TThread {
public:
    TkvThreadIO(TkvBaseIO* akvLink, TThreadPriority pr);

    using TThread::Synchronize;

    // The medium handle this reader serves.
    std::uintptr_t Medium() const { return fMedium; }
    // The component has gone; the reader ends without touching it.
    bool Released() const { return fkvLink.load() == nullptr; }

protected:
    void Execute() override;

private:
    std::atomic<TkvBaseIO*> fkvLink;
    TkvBaseIO* const fOwner; // compared only, never followed once Released
    const std::uintptr_t fMedium;
    friend class TkvBaseIO;
};

// ---- TkvBaseIO

// The base of every transport. The transport supplies OpenHandle, ReleaseHandle,
// ThreadIOExecute (and sets isThreaded before the open sequence when it wants a reader
// thread), EnumerateDevices, GetDeviceIndex/SetDeviceIndex and the send operations; the
// base runs the sequences around them.
//
// Active: while loading or designing it reads and stores fActive; otherwise it reads
// IsOpened and writing it opens (DoOpen) or closes (DoClose). In the design state a
// switch-on is a test: open, remember the outcome in fActive, close again.
//
// Notification codes of DoNotify: 1 medium closed, 2 medium opened, 3 device list or
// selected device changed.
//
// The reader loop's contract (ThreadIOExecute, given the reader's TkvThreadIO): loop while
// IsThreadIOTerminated() is false; wait for input on the reader's own medium
// (Thread->Medium()) and leave the loop when the wait or the read fails or nothing is
// pending; leave input unread while HasReceivers is false; else read it and call
// DoDataReceived, and end at once when Thread->Released(). After the loop, unless it was
// told to stop, call DoClose: on a reader's thread it closes that reader's connection
// only, and nothing when another thread has closed it first.
//
// Readers are told to stop when their medium is released, and waited for when the
// transport closes with isThreaded (StopThreadIO) and when the component goes
// (WaitThreadIO), except a reader that the waiting thread cannot wait for (it is that
// reader, or the reader waits for it in a synchronized call, such as its hand-off to the
// main thread): it ends by itself once its handler returns.
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
    virtual void DoOpen();
    virtual void DoClose();
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

    // True for a reader whose stop was asked (called on a reader's thread, of that
    // reader; elsewhere, of the current reader, and true when none runs).
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

    // The base close sequence is ReleaseMedium, then RaiseOnClose when it released.
    // ReleaseMedium claims the handle first, so that two threads closing at once release
    // it once; on a reader's thread it claims only that reader's own medium. It releases
    // the handle, tells the medium's reader to stop, and stops it (StopThreadIO) when
    // isThreaded; true for the thread that released the medium.
    bool ReleaseMedium();
    void RaiseOnClose();

    // Writes all received text that waits for the terminal, at once. On the main thread
    // only; elsewhere it does nothing (the main thread writes it when it gets to it). A
    // transport calls it before its close events when it closes on the main thread.
    void FlushTerminal();

    // Tells every reader to stop and waits for each that can be waited for from here
    // (pumping messages on the main thread); lets go of the others (see TkvThreadIO). A
    // transport calls it from its destructor once the medium is closed, so that no reader
    // runs while the transport's part of the object goes.
    void WaitThreadIO();

    // True on the thread of one of this component's readers.
    bool OnReaderThread() const { return OwnReader() != nullptr; }

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
    // The readers of this component that have not been collected; fThreadIO is the one
    // started last.
    mutable std::mutex fReadersLock;
    TkvThreadIO* fThreadIO = nullptr;
    std::vector<TkvThreadIO*> fReaders;

    // The reader that runs on the calling thread, when it is one of this component's.
    TkvThreadIO* OwnReader() const;
    // Deletes the objects of readers that have ended.
    void CollectThreadIO();
    // Tells the reader of that medium, if it still runs, to stop.
    void StopReaderOf(std::uintptr_t Medium);
    // Stops and waits for the readers that can be waited for from here; with Release,
    // lets go of the others.
    void WaitReaders(bool Release);
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
