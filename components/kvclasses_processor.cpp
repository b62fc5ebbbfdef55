// TkvCustomDataProcessor: links, notifications, the receive chain, the send paths and
// the async completion.
#include "components/kvclasses.h"

#include "toolkit/exceptions.h"

TkvCustomDataProcessor::TkvCustomDataProcessor(TComponent* AOwner)
    : TComponent(AOwner), fTimerAsync(new TkvTimer) {
    fTimerAsync->SetEnabled(false);
    fTimerAsync->SetOnTimer(TNotifyEvent::Bind<&TkvCustomDataProcessor::DoTimerAsync>(this));
}

TkvCustomDataProcessor::~TkvCustomDataProcessor() {
    EndCalls();
    SetDevice(nullptr);
    delete fTimerAsync;
}

// ---- Links

void TkvCustomDataProcessor::SetDevice(TkvBaseIO* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetDevice(Value); });
    TkvBaseIO* linked = fDevice.Get();
    if (linked && linked != Value)
        linked->NotifyDelete(NotifyCallback());
    fDevice.Set(Value);
    if (Value) {
        Value->FreeNotification(this);
        Value->NotifyAdd(NotifyCallback());
    }
}

void TkvCustomDataProcessor::SetDataProcessor(TkvCustomDataProcessor* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetDataProcessor(Value); });
    // A chain that leads back here would forward received blocks for ever.
    for (TkvCustomDataProcessor* p = Value; p; p = p->fDataProcessor.Get())
        if (p == this)
            return;
    fDataProcessor.Set(Value);
    if (Value) {
        Value->FreeNotification(this);
        Value->SetDevice(fDevice.Get());
    }
}

void TkvCustomDataProcessor::SetLog(TkvCustomLogFile* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetLog(Value); });
    fLog.Set(Value);
    if (Value)
        Value->FreeNotification(this);
}

void TkvCustomDataProcessor::SetActive(bool Value) {
    fActive = Value;
}

void TkvCustomDataProcessor::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove)
        return;
    if (AComponent == fDataProcessor.Get())
        SetDataProcessor(nullptr);
    if (AComponent == fDevice.Get()) {
        // A departing device takes its subscriber list with it.
        if (!AComponent->IsDestroying())
            SetDevice(nullptr);
        else
            fDevice.Set(nullptr);
    }
    if (AComponent == fLog.Get())
        SetLog(nullptr);
}

// ---- Notifications and the receive chain

void TkvCustomDataProcessor::GatedDeviceNotify(TObject* Sender, std::int32_t Code) {
    if (TkvGateEntry entry{CallGate()}) // none once the processor is going
        DeviceNotify(Sender, Code);
}

void TkvCustomDataProcessor::DeviceNotify(TObject*, std::int32_t Code) {
    if (Code == 1)
        DoMediumClosed();
    else if (Code == 2)
        DoMediumOpened();
}

void TkvCustomDataProcessor::DoMediumClosed() {
    LogMessage(dlDebug, L"Medium Closed");
}
void TkvCustomDataProcessor::DoMediumOpened() {
    LogMessage(dlDebug, L"Medium Opened");
}

void TkvCustomDataProcessor::DoProcessing(std::uint8_t* Data, std::uint32_t Len, TIgnoreTypes& R) {
    if (auto next = fDataProcessor.Call())
        next->DoProcessing(Data, Len, R);
}

void TkvCustomDataProcessor::DataReceive(std::uint8_t* ptrBuffer, std::uint32_t Len) {
    TIgnoreTypes r;
    DoProcessing(ptrBuffer, Len, r);
}

void TkvCustomDataProcessor::DoAfterSendComplete(bool&) {}

void TkvCustomDataProcessor::LogMessage(TDetailLevel Level, const String& Msg) {
    if (auto log = fLog.Call())
        log->AddLog(Level, sLogPrefix + Msg);
}

void TkvCustomDataProcessor::LogMessageFmt(TDetailLevel Level, const String& Fmt,
                                           const TVarRecs& Args) {
    if (auto log = fLog.Call())
        log->AddLogFmt(Level, sLogPrefix + Fmt, Args);
}

// ---- Send paths and async completion

void TkvCustomDataProcessor::DoDataSend(std::uint8_t* ptrBuffer, std::uint32_t Len) {
    if (Len == 0 || !ptrBuffer)
        return;
    try {
        bool flHandled = false;
        if (fOnDataSend)
            fOnDataSend(this, ptrBuffer, Len, false, flHandled);
        if (flHandled) {
            fTimerAsync->Restart(true);
        } else {
            auto device = fDevice.Call();
            if (!device)
                return;
            // A send may wait serving messages, whose handlers may destroy either of us.
            const TLife life = Life(), deviceLife = device->Life();
            device->SendData(ptrBuffer, Len);
            if (life.Ended())
                return;
            if (!deviceLife.Ended())
                FlushFileBuffers(reinterpret_cast<HANDLE>(device->fHandle.load()));
        }
        LogMessageFmt(dlDebug, L"DoDataSend: %u bytes", {Len});
    } catch (...) {
    }
}

void TkvCustomDataProcessor::DoStringSend(const AnsiString& S) {
    if (S.empty())
        return;
    try {
        bool flHandled = false;
        AnsiString copy = S;
        if (fOnDataSend)
            fOnDataSend(this, reinterpret_cast<std::uint8_t*>(copy.data()),
                        static_cast<std::uint32_t>(copy.size()), true, flHandled);
        if (!flHandled)
            if (auto device = fDevice.Call())
                device->SendString(S);
    } catch (...) {
    }
}

void TkvCustomDataProcessor::DoTimerAsync(TObject*) {
    fTimerAsync->SetEnabled(false);
    bool flIgnore = false;
    DoAfterSendComplete(flIgnore);
}

void TkvCustomDataProcessor::SetAsyncTimer(std::uint32_t Interval) {
    fTimerAsync->Restart(Interval != 0, Interval);
}

void TkvCustomDataProcessor::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail,
                                           const String& Msg) {
    bool raiseException = true;
    if (fOnFatalError)
        fOnFatalError(this, Code, Detail, Msg, raiseException);
    if (auto log = fLog.Call())
        log->AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {Code, Detail, Msg});
    if (raiseException)
        throw Exception(Msg);
}
