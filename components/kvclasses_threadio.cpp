// The reader thread of TkvBaseIO and the dispatch of received blocks.
#include "components/kvclasses.h"

#include <objbase.h>

TkvThreadIO::TkvThreadIO(TkvBaseIO* akvLink, TThreadPriority pr) : TThread(true), fkvLink(akvLink) {
    // The component keeps this object until it has waited for it (see TkvBaseIO).
    SetFreeOnTerminate(false);
    SetPriority(pr);
    akvLink->fReaderThreadId = ThreadID();
    Start();
}

void TkvThreadIO::Execute() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        fkvLink->ThreadIOExecute(this);
    } catch (...) {
    }
    CoUninitialize();
}

void TkvBaseIO::StartThreadIO() {
    WaitThreadIO(); // a reader that ended by itself is collected before the next one starts
    IsThreadIOTerminated = false;
    fThreadIO = new TkvThreadIO(this, fPriority);
}

void TkvBaseIO::StopThreadIO() {
    if (IsThreadIOTerminated.exchange(true))
        return;
    WaitThreadIO();
}

void TkvBaseIO::WaitThreadIO() {
    TkvThreadIO* thread = fThreadIO;
    if (!thread || thread->ThreadID() == GetCurrentThreadId())
        return;
    fThreadIO = nullptr;
    thread->Terminate();
    thread->WaitFor();
    delete thread;
}

void TkvBaseIO::ThreadIOExecute(TkvThreadIO*) {}

bool TkvBaseIO::HasReceivers() {
    return fTerminal.load() || fOnReceived.Get().Assigned() || fDataProcessor.load();
}

void TkvBaseIO::DoDataReceived(void* Buffer, std::uint32_t Len) {
    if (fUseMainThread && fReaderThreadId == GetCurrentThreadId()) {
        threadData = Buffer;
        threadDataSize = Len;
        Synchronize(TThreadMethod::Bind<&TkvBaseIO::SyncDataReceived>(this));
        return;
    }
    LogMessage(dlDebug, L"Input data length: " + IntToStr(Len));
    TIgnoreTypes r;
    if (TkvCustomDataProcessor* processor = fDataProcessor)
        processor->DoProcessing(static_cast<std::uint8_t*>(Buffer), Len, r);
    if (fTerminal.load() && !r.Contains(itTerminal))
        TerminalWrite(static_cast<const std::uint8_t*>(Buffer), static_cast<std::int32_t>(Len));
    if (TOnReceived onReceived = fOnReceived.Get())
        onReceived(this, Buffer, Len);
}

void TkvBaseIO::SyncDataReceived() {
    DoDataReceived(threadData, threadDataSize);
}

bool TkvBaseIO::AfterSendComplete() {
    bool flag = false;
    if (TkvCustomDataProcessor* processor = fDataProcessor)
        processor->DoAfterSendComplete(flag);
    return flag;
}
