#pragma once
// kvclasses: the component core that every transport builds on.
//
//   TkvNotifyList           subscribers of a component's notifications
//   TkvDevice               one entry of a transport's device list
//   TkvCustomLogFile        the abstract log that components write to
//   TkvBaseIO               the base I/O component: open/close, reader thread, receive
//                           dispatch, terminal binding, device list, notifications
//   TkvThreadIO             the reader thread of a TkvBaseIO
//   TkvCustomDataProcessor  a component between an I/O component and the application
//   TkvTimer                a window timer on a hidden window
//
// Threads: the main thread runs property writers, Loaded, the device list and normally
// the open and close sequences. The reader thread runs the transport's loop and, unless
// UseMainThread is set, the receive dispatch; a transport may also close from it, so
// OnClose and the close notification can arrive there. Fields that both threads touch are
// atomic; events that the reader raises are read and written under a small lock.

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
#include <mutex>
#include <optional>

#include <windows.h>

class TkvBaseIO;
class TkvCustomDataProcessor;

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

// A terminal keeps about the last kvTerminalKeep characters it was given: once it holds a
// quarter more, the oldest lines go, so that an edit control under a fast stream keeps
// its pace and its memory.
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

// ---- TkvNotifyList

// The notification subscribers of a component: callbacks (TkvNotifyEvent) in order of
// subscription, each in a record of its own that the list owns.
//
// IndexOf matches a callback on its function and its context together, so two objects
// that subscribe with the same method are two entries. Call is re-entrant: a subscriber
// may add or remove entries (its own or others') while it is called; entries removed
// during the pass are not called, entries added during it are not called in this pass,
// and every other entry is called once, in order. An exception from a subscriber ends the
// pass and reaches the caller. The list may be changed and called from different threads.
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
// raise EAbstractError.
class TkvCustomLogFile : public TComponent {
public:
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

// The reader thread of a TkvBaseIO: its body runs the component's ThreadIOExecute with
// COM initialised (multithreaded). An exception that escapes the loop ends the thread
// quietly. The component keeps the thread object until it has waited for it, so it never
// waits on, or reads through, a thread object that has gone.
class TkvThreadIO : public TThread {
public:
    TkvThreadIO(TkvBaseIO* akvLink, TThreadPriority pr);

    using TThread::Synchronize;

protected:
    void Execute() override;

private:
    TkvBaseIO* fkvLink;
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
// The reader loop's contract (ThreadIOExecute): loop while IsThreadIOTerminated is false;
// wait for input on the medium and leave the loop when the wait or the read fails or
// nothing is pending; leave input unread while HasReceivers is false; else read it and
// call DoDataReceived; after the loop set IsThreadIOTerminated before anything that may
// call StopThreadIO.
class TkvBaseIO : public TComponent {
public:
    ~TkvBaseIO() override;

    // ---- Life cycle and medium
    virtual bool IsOpened();
    virtual std::uintptr_t OpenHandle();
    virtual void ReleaseHandle(std::uintptr_t Handle);
    virtual bool HasReceivers();
    virtual void DoOpen();
    virtual void DoClose();
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

    // ---- Properties
    bool GetActive();
    void SetActive(bool Value);
    TMemo* GetTerminal() const { return fTerminal; }
    void SetTerminal(TMemo* Value);
    TTerminalUsage GetTerminalUsage() const { return fTerminalUsage; }
    void SetTerminalUsage(TTerminalUsage Value);
    bool GetTerminalEcho() const { return fTerminalEcho; }
    void SetTerminalEcho(bool Value) { fTerminalEcho = Value; }
    TThreadPriority GetPriority() const { return fPriority; }
    void SetPriority(TThreadPriority Value) { fPriority = Value; }
    bool GetUseMainThread() const { return fUseMainThread; }
    void SetUseMainThread(bool Value) { fUseMainThread = Value; }
    TkvCustomLogFile* GetLog() const { return fLog; }
    void SetLog(TkvCustomLogFile* Value);
    TkvCustomDataProcessor* GetDataProcessor() const { return fDataProcessor; }
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
    // What the reader has the main thread run: the dispatch of the parked block.
    void SyncDataReceived();

protected:
    explicit TkvBaseIO(TComponent* AOwner);

    void Notification(TComponent* AComponent, TOperation Operation) override;

    // The base close sequence is ReleaseMedium, then RaiseOnClose when it released.
    // ReleaseMedium claims the handle first, so that two threads closing at once release
    // it once; it releases it and stops the reader when isThreaded; true for the thread
    // that released the medium.
    bool ReleaseMedium();
    void RaiseOnClose();

    // Ends the reader thread, if any, and waits for it (pumping messages on the main
    // thread). A transport calls it from its destructor once the medium is closed, so
    // that no reader runs while the transport's part of the object goes.
    void WaitThreadIO();

    // The log prefix; unset, the run-time class name stands in.
    String LogPrefix() const { return sLogPrefix ? *sLogPrefix : ClassName(); }

    TkvNotifyList kvNotifyList;
    std::atomic<TkvCustomLogFile*> fLog{nullptr};
    std::atomic<TkvCustomDataProcessor*> fDataProcessor{nullptr};
    TOnFatalErrorEvent fOnFatalError;
    TStringList slDevices;
    void* threadData = nullptr;
    std::uint32_t threadDataSize = 0;
    std::atomic<HWND> hTerminal{nullptr};
    std::atomic<TTerminalUsage> fTerminalUsage{tuNone};
    std::atomic<TMemo*> fTerminal{nullptr};
    std::atomic<bool> fTerminalEcho{false};
    TWndMethod fOldTerminalWndProc;
    std::atomic<bool> fTerminalLocked{false};
    std::atomic<std::uint32_t> fTerminalWritten{
        0}; // received characters since the last length check
    TkvLocked<TNotifyEvent> fOnClose;
    TkvLocked<TNotifyEvent> fOnOpen;
    TkvThreadIO* fThreadIO = nullptr; // owned; touched only by the threads that open and close
    TkvLocked<TOnReceived> fOnReceived;
    std::atomic<bool> fUseMainThread{false};
    TThreadPriority fPriority = tpNormal;
    bool fActive = false;
    std::atomic<std::uintptr_t> fHandle{kvInvalidHandle};
    std::optional<String> sLogPrefix;
    bool flClearDeviceListWithFree = true;
    std::atomic<bool> isThreaded{false};
    std::atomic<bool> IsThreadIOTerminated{false};

private:
    std::atomic<DWORD> fReaderThreadId{0};
    friend class TkvThreadIO;
    friend class TkvCustomDataProcessor; // flushes the medium handle after a send
};

// ---- TkvTimer

// A timer on a hidden window of the thread that creates it: OnTimer runs on that thread,
// from its message loop, every Interval milliseconds while Enabled, Interval is not 0 and
// OnTimer is assigned. Every effective change restarts the countdown; writing OnTimer
// always does. Exceptions from OnTimer are dropped and the timer keeps running. Create,
// change and destroy it on its own thread.
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

protected:
    // Calls OnTimer when enabled and assigned; descendants may extend it.
    virtual void Timer();

private:
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
    void UpdateTimer();
    void WndProc(TMessage& Msg);

    std::uint32_t FInterval = 1000;
    HWND FWindowHandle = nullptr;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
    friend class TkvCustomDataProcessor; // stores its async interval directly
};

// ---- TkvCustomDataProcessor

// The base of the components that interpret a transport's byte stream. It links to its
// device (the I/O component) and subscribes to its notifications, forwards received
// blocks to a chained processor, logs, and offers two send paths that an OnDataSend
// handler may take over; a taken-over send completes (DoAfterSendComplete) one async
// timer interval after the last of a burst. A chain that would lead back to the processor
// is refused. The async timer belongs to the thread that created the processor.
class TkvCustomDataProcessor : public TComponent {
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
    TkvBaseIO* GetDevice() const { return fDevice; }
    TkvCustomDataProcessor* GetDataProcessor() const { return fDataProcessor; }
    TkvCustomLogFile* GetLog() const { return fLog; }
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

    TkvNotifyEvent NotifyCallback() {
        return TkvNotifyEvent::Bind<&TkvCustomDataProcessor::DeviceNotify>(this);
    }

    std::atomic<TkvBaseIO*> fDevice{nullptr};
    std::atomic<TkvCustomDataProcessor*> fDataProcessor{nullptr};
    bool fActive = false;
    TOnFatalErrorEvent fOnFatalError;
    std::atomic<TkvCustomLogFile*> fLog{nullptr};
    TDataSendEvent fOnDataSend;
    TkvTimer* fTimerAsync;
    String sLogPrefix;
};

// Registers the core's classes with the form-file reader (idempotent), so that
// descendants can publish their properties.
void RegisterKvClasses();
