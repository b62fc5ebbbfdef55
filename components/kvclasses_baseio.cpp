// TkvBaseIO: life cycle, loading and design rules, fatal errors, devices, notifications.
#include "components/kvclasses.h"

#include "components/kvsysutils.h"
#include "toolkit/application.h"
#include "toolkit/exceptions.h"

#include <dbt.h>

TkvBaseIO::TkvBaseIO(TComponent* AOwner) : TComponent(AOwner) {
    fPriority = tpNormal;
    flClearDeviceListWithFree = true;
    fHandle = kvInvalidHandle;
}

TkvBaseIO::~TkvBaseIO() {
    EndCalls();
    WaitThreadIO();
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

void TkvBaseIO::DoOpen() {
    CollectThreadIO();
    // The open may wait and serve messages: a handler may destroy the component meanwhile.
    const std::shared_ptr<TkvCallGate> self = CallGate();
    const std::uintptr_t handle = OpenHandle();
    if (self->Closed())
        return;
    fHandle = handle;
    if (!IsOpened())
        return;
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
    if (ReleaseMedium())
        RaiseOnClose();
}

bool TkvBaseIO::ReleaseMedium() {
    std::uintptr_t handle;
    if (TkvThreadIO* reader = OwnReader()) {
        // A reader closes its own connection only: never one opened after it.
        {
            std::lock_guard<std::mutex> lock(fReadersLock);
            if (fThreadIO != reader)
                return false;
        }
        handle = reader->Medium();
        if (handle == kvInvalidHandle || !fHandle.compare_exchange_strong(handle, kvInvalidHandle))
            return false;
    } else {
        handle = fHandle.exchange(kvInvalidHandle);
        if (handle == kvInvalidHandle)
            return false;
    }
    ReleaseHandle(handle);
    if (isThreaded)
        StopThreadIO();
    else
        StopReaderOf(handle);
    return true;
}

void TkvBaseIO::RaiseOnClose() {
    if (TNotifyEvent onClose = fOnClose.Get()) {
        try {
            onClose(this);
        } catch (...) {
        }
    }
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
    if (!Value)
        CancelOpen();
    if (Value == GetActive() && !IsDesigning())
        return;
    const std::shared_ptr<TkvCallGate> self = CallGate();
    if (Value)
        DoOpen();
    else
        DoClose();
    if (self->Closed())
        return;
    if (IsDesigning()) {
        fActive = IsOpened();
        if (fActive)
            DoClose();
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
