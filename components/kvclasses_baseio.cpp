// TkvBaseIO: life cycle, loading and design rules, fatal errors, devices, notifications.
#include "components/kvclasses.h"

#include "components/kvsysutils.h"
#include "toolkit/application.h"
#include "toolkit/exceptions.h"

#include <dbt.h>

TkvBaseIO::TkvBaseIO(TComponent* AOwner)
    : TComponent(AOwner), fSettled(CreateEventW(nullptr, TRUE, TRUE, nullptr), CloseHandle) {
    fPriority = tpNormal;
    flClearDeviceListWithFree = true;
    fHandle = kvInvalidHandle;
}

TkvBaseIO::~TkvBaseIO() {
    EndCalls();
    EndConnections();
    // A terminal that lives on gets its own window procedure back.
    if (fTerminal)
        SetTerminal(nullptr);
    // Virtual calls made here reach this class's own ClearDeviceList.
    ClearDeviceList();
}

// ---- Life cycle

bool TkvBaseIO::IsOpened() {
    return fHandle != kvInvalidHandle;
}

std::uintptr_t TkvBaseIO::OpenHandle() {
    return kvInvalidHandle;
}

void TkvBaseIO::CancelOpen() {}

void TkvBaseIO::ReleaseHandle(std::uintptr_t Handle) {
    CloseHandle(reinterpret_cast<HANDLE>(Handle));
}

std::shared_ptr<TkvConnection> TkvBaseIO::NewConnection(std::uintptr_t Handle) {
    return std::make_shared<TkvConnection>(Handle);
}

std::shared_ptr<TkvConnection> TkvBaseIO::CurrentConnection() const {
    std::lock_guard<std::mutex> lock(fStateLock);
    return fConnection;
}

bool TkvBaseIO::GetActive() {
    if (IsDesigning() || IsLoading())
        return fActive;
    return IsOpened();
}

void TkvBaseIO::SetActive(bool Value) {
    if (IsLoading()) {
        fActive = Value;
        return;
    }
    const TLife life = Life();
    if (Value)
        Open();
    else
        Close();
    if (life.Ended() || !IsDesigning())
        return;
    fActive = IsOpened();
    if (fActive)
        Close();
}

void TkvBaseIO::Claim(TState State) {
    fState = State;
    fStateOwner = GetCurrentThreadId();
    ResetEvent(fSettled.get());
}

void TkvBaseIO::Settle(TState State) {
    fState = State;
    fStateOwner = 0;
    SetEvent(fSettled.get());
}

void TkvBaseIO::WaitSettled() {
    const std::shared_ptr<void> settled = fSettled;
    MainThreadWait(settled.get());
}

void TkvBaseIO::Open() {
    if (CallGate()->Closed())
        return; // the component is going
    const TLife life = Life();
    const DWORD self = GetCurrentThreadId();
    {
        std::unique_lock<std::mutex> lock(fStateLock);
        for (;;) {
            // A handler of this thread's own close events (the connection released) may
            // open the next connection at once; one that the close's waits serve finds
            // Active still true.
            const bool ownClose = fState == TState::Closing && fStateOwner == self;
            if (fState == TState::Closed || (ownClose && !fConnection))
                break;
            if (fState == TState::Opening && fStateOwner == self)
                fCloseAfterOpen = false; // a close asked for during the open's events is off
            if (fState != TState::Closing || ownClose)
                return;
            lock.unlock();
            WaitSettled(); // another thread closes: open once it is done
            if (life.Ended())
                return;
            lock.lock();
        }
        Claim(TState::Opening);
    }
    try {
        DoOpen();
    } catch (...) {
        if (!life.Ended())
            FinishOpen();
        throw;
    }
    if (!life.Ended())
        FinishOpen();
}

void TkvBaseIO::FinishOpen() {
    std::shared_ptr<TkvConnection> connection;
    bool close;
    {
        std::lock_guard<std::mutex> lock(fStateLock);
        connection = fConnection;
        close = connection && fCloseAfterOpen;
        fCloseAfterOpen = false;
        if (!connection)
            Settle(TState::Closed);
        else if (close)
            fState = TState::Closing; // this thread goes on from its open to the close
        else
            Settle(TState::Open);
    }
    if (close)
        CloseClaimed();
    else if (connection)
        SetEvent(connection->fOpened); // the reader receives from now on
}

void TkvBaseIO::Close() {
    const TLife life = Life();
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(fStateLock);
    for (;;) {
        switch (fState) {
        case TState::Closed:
            return;
        case TState::Open:
            Claim(TState::Closing);
            lock.unlock();
            CloseClaimed();
            return;
        case TState::Opening:
            if (!fConnection)
                CancelOpen(); // it waits on the platform: it ends quietly
            else if (fStateOwner == self)
                fCloseAfterOpen = true; // its events come first
            if (fStateOwner == self)
                return; // the open is further up this thread's stack
            break;
        case TState::Closing:
            if (fStateOwner == self)
                return; // this thread closes already
            break;
        }
        lock.unlock();
        WaitSettled();
        if (life.Ended())
            return;
        lock.lock();
    }
}

void TkvBaseIO::CloseClaimed() {
    const TLife life = Life();
    auto finish = [&] {
        std::lock_guard<std::mutex> lock(fStateLock);
        if (fState == TState::Closing && fStateOwner == GetCurrentThreadId())
            Settle(TState::Closed);
    };
    try {
        DoClose();
    } catch (...) {
        if (!life.Ended())
            finish();
        throw;
    }
    if (!life.Ended())
        finish();
}

void TkvBaseIO::ConnectionEnded(TkvThreadIO* Thread) {
    {
        std::lock_guard<std::mutex> lock(fStateLock);
        if (fState != TState::Open || fConnection != Thread->Connection())
            return; // closed by someone else meanwhile
        Claim(TState::Closing);
    }
    CloseClaimed();
}

void TkvBaseIO::EndConnections() {
    CancelOpen();
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(fStateLock);
    for (bool settled = false; !settled;) {
        switch (fState) {
        case TState::Open:
            Claim(TState::Closing);
            lock.unlock();
            try {
                CloseClaimed();
            } catch (...) {
                // An exception from a close event cannot leave a destructor.
            }
            lock.lock();
            continue;
        case TState::Opening:
        case TState::Closing:
            if (fStateOwner == self) {
                // Its open or close is further up this thread's stack and finds the
                // component gone: a connection whose open had not raised its events yet
                // goes without close events.
                if (std::shared_ptr<TkvConnection> connection = std::move(fConnection)) {
                    fHandle = kvInvalidHandle;
                    connection->Stop();
                    fUnwaited.push_back(connection);
                }
                settled = true;
                break;
            }
            lock.unlock();
            WaitSettled();
            lock.lock();
            continue;
        case TState::Closed:
            settled = true;
            break;
        }
    }
    std::vector<std::weak_ptr<TkvConnection>> unwaited = std::move(fUnwaited);
    lock.unlock();
    for (const auto& held : unwaited)
        if (std::shared_ptr<TkvConnection> connection = held.lock())
            WaitReader(*connection); // those that wait for this thread end by themselves
}

void TkvBaseIO::DoOpen() {
    // The open may wait and serve messages: a handler may destroy the component meanwhile.
    const TLife life = Life();
    const std::uintptr_t handle = OpenHandle();
    if (life.Ended() || handle == kvInvalidHandle)
        return;
    {
        std::lock_guard<std::mutex> lock(fStateLock);
        fConnection = NewConnection(handle);
        fHandle = handle;
    }
    if (isThreaded)
        StartThreadIO();
    if (TNotifyEvent onOpen = fOnOpen.Get()) {
        try {
            onOpen(this);
        } catch (...) {
        }
    }
}

void TkvBaseIO::DoClose() {
    std::shared_ptr<TkvConnection> connection = CurrentConnection();
    if (!connection)
        return;
    StopThreadIO();
    {
        std::lock_guard<std::mutex> lock(fStateLock);
        fConnection = nullptr;
        fHandle = kvInvalidHandle;
    }
    ReleaseHandle(connection->Handle());
    FlushTerminal(); // what the reader received is in the terminal before the close events
    if (TNotifyEvent onClose = fOnClose.Get()) {
        try {
            onClose(this);
        } catch (...) {
        }
    }
}

void TkvBaseIO::Loaded() {
    TComponent::Loaded();
    try {
        SetTerminal(fTerminal);
        SetTerminalUsage(fTerminalUsage);
        SetActive(fActive);
    } catch (...) {
        if (Application)
            Application->ShowMessageBox(L"error", L"Error", MB_ICONERROR);
        else
            MessageBoxW(GetOwnerWindow(), L"error", L"Error", MB_ICONERROR);
    }
}

// ---- Fatal errors and logging

void TkvBaseIO::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const String& Msg) {
    bool raiseException = true;
    if (fOnFatalError)
        fOnFatalError(this, Code, Detail, Msg, raiseException);
    if (auto log = fLog.Call())
        log->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {Code, Detail, Msg});
    if (raiseException && !IsLoading())
        throw Exception(Msg);
}

void TkvBaseIO::LogMessage(TDetailLevel Level, const String& Msg) {
    auto log = fLog.Call();
    if (!log)
        return;
    if (Msg.empty())
        log->AddSysInfo();
    else
        log->AddLog(Level, LogPrefix() + Msg);
}

// ---- Devices

void TkvBaseIO::SetDeviceIndex(std::int32_t) {
    DoNotify(3);
}

std::int32_t TkvBaseIO::GetDeviceIndex() {
    ThrowAbstractError(L"TkvBaseIO.GetDeviceIndex");
}

int TkvBaseIO::AddDevice(TkvDevice* aDevice) {
    int position = slDevices.AddObject(aDevice->NameFriendly, aDevice);
    aDevice->fIndex = position;
    aDevice->fParent = this;
    return position;
}

int TkvBaseIO::InsertDevice(TkvDevice* aDevice) {
    int n = DeviceCount();
    if (n == 0 || GetDevice(n - 1)->Data < aDevice->Data)
        return AddDevice(aDevice);
    for (int i = 0; i < n; ++i) {
        TkvDevice* d = GetDevice(i);
        if (d->Data == aDevice->Data)
            return -1;
        if (d->Data > aDevice->Data) {
            slDevices.InsertObject(i, aDevice->NameFriendly, aDevice);
            aDevice->fIndex = i;
            aDevice->fParent = this;
            for (int k = i + 1; k <= n; ++k)
                GetDevice(k)->fIndex = k;
            return i;
        }
    }
    return -1;
}

void TkvBaseIO::EnumerateDevices() {
    ThrowAbstractError(L"TkvBaseIO.EnumerateDevices");
}

void TkvBaseIO::ClearDeviceList() {
    if (flClearDeviceListWithFree)
        for (int i = 0; i < slDevices.Count(); ++i)
            delete slDevices.Objects(i);
    slDevices.Clear();
}

TkvDevice* TkvBaseIO::GetDevice(int Index) const {
    if (Index < 0 || Index >= DeviceCount())
        return nullptr;
    return static_cast<TkvDevice*>(slDevices.Objects(Index));
}

int TkvBaseIO::IndexOfDevice(const TkvDevice* aDevice) const {
    return slDevices.IndexOfObject(aDevice);
}

void TkvBaseIO::GetDeviceList(TStrings* L) {
    if (DeviceCount() == 0)
        EnumerateDevices();
    if (!L)
        return;
    L->Clear();
    for (int i = 0; i < slDevices.Count(); ++i)
        L->AddObject(slDevices.Get(i), slDevices.Objects(i));
}

void TkvBaseIO::Update() {
    DoNotify(3);
}

bool TkvBaseIO::WMDeviceChange(TMessage& Msg) {
    if (Msg.Msg != WM_DEVICECHANGE)
        return false;
    if (Msg.WParam != DBT_DEVICEARRIVAL && Msg.WParam != DBT_DEVICEREMOVECOMPLETE &&
        Msg.WParam != DBT_DEVNODES_CHANGED)
        return false;
    if (Msg.WParam != DBT_DEVNODES_CHANGED) {
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Msg.LParam);
        if (!header || header->dbch_devicetype != DBT_DEVTYP_PORT)
            return false;
    }
    Update();
    return true;
}

// ---- Sending: a transport's own

void TkvBaseIO::SendChar(wchar_t) {
    ThrowAbstractError(L"TkvBaseIO.SendChar");
}
void TkvBaseIO::SendString(const AnsiString&) {
    ThrowAbstractError(L"TkvBaseIO.SendString");
}
void TkvBaseIO::SendData(const std::uint8_t*, std::uint32_t) {
    ThrowAbstractError(L"TkvBaseIO.SendData");
}
void TkvBaseIO::ClearDeviceInput() {
    ThrowAbstractError(L"TkvBaseIO.ClearDeviceInput");
}
void TkvBaseIO::ClearDeviceOutput() {
    ThrowAbstractError(L"TkvBaseIO.ClearDeviceOutput");
}
void TkvBaseIO::ClearDeviceBuffers() {
    ThrowAbstractError(L"TkvBaseIO.ClearDeviceBuffers");
}

// ---- Notifications and links

void TkvBaseIO::NotifyAdd(TkvNotifyEvent NotifyEvent) {
    if (kvNotifyList.IndexOf(NotifyEvent) < 0)
        kvNotifyList.Add(NotifyEvent);
}

void TkvBaseIO::NotifyDelete(TkvNotifyEvent NotifyEvent) {
    int i = kvNotifyList.IndexOf(NotifyEvent);
    if (i >= 0)
        kvNotifyList.Delete(i);
}

void TkvBaseIO::DoNotify(std::int32_t Code) {
    kvNotifyList.Call(this, Code);
}

void TkvBaseIO::SetDataProcessor(TkvCustomDataProcessor* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetDataProcessor(Value); });
    TkvCustomDataProcessor* linked = fDataProcessor.Get();
    if (!Value && linked)
        linked->SetDevice(nullptr);
    fDataProcessor.Set(Value);
    if (Value) {
        Value->SetDevice(this);
        Value->FreeNotification(this);
    }
}

void TkvBaseIO::SetLog(TkvCustomLogFile* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetLog(Value); });
    fLog.Set(Value);
    if (Value)
        Value->FreeNotification(this);
}

void TkvBaseIO::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove)
        return;
    // The departing processor unlinked itself from its device in its own destructor.
    if (AComponent == fDataProcessor.Get())
        fDataProcessor.Set(nullptr);
    else if (AComponent == fTerminal.load())
        fTerminal = nullptr;
    else if (AComponent == fLog.Get())
        fLog.Set(nullptr);
}
