// The readers of TkvBaseIO and the dispatch of received blocks.
//
// A reader serves one connection: the medium that was open when it started, with a stop
// flag of its own. The component keeps every reader object until its thread has ended:
// the current one and those of earlier connections that have not been collected yet.
#include "components/kvclasses.h"

#include <objbase.h>

#include <algorithm>

namespace {

// The reader whose thread this is, if any.
thread_local TkvThreadIO* tReader = nullptr;

} // namespace

TkvThreadIO::TkvThreadIO(TkvBaseIO* akvLink, TThreadPriority pr)
    : TThread(true), fkvLink(akvLink), fOwner(akvLink), fMedium(akvLink->fHandle) {
    SetFreeOnTerminate(false); // its component keeps it until the thread has ended
    SetPriority(pr);
    {
        std::lock_guard<std::mutex> lock(akvLink->fReadersLock);
        akvLink->fThreadIO = this;
        akvLink->fReaders.push_back(this);
    }
    Start();
}

void TkvThreadIO::Execute() {
    tReader = this;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        // A reader is let go only from its own stack, so it never starts without its component.
        fkvLink.load()->ThreadIOExecute(this);
    } catch (...) {
    }
    CoUninitialize();
}

TkvThreadIO* TkvBaseIO::OwnReader() const {
    TkvThreadIO* reader = tReader;
    return reader && reader->fOwner == this ? reader : nullptr;
}

bool TkvBaseIO::IsThreadIOTerminated() const {
    if (TkvThreadIO* reader = OwnReader())
        return reader->Terminated();
    std::lock_guard<std::mutex> lock(fReadersLock);
    return !fThreadIO || fThreadIO->Terminated();
}

void TkvBaseIO::StartThreadIO() {
    CollectThreadIO();
    new TkvThreadIO(this, fPriority); // registers itself as the current reader
}

void TkvBaseIO::StopThreadIO() {
    {
        std::lock_guard<std::mutex> lock(fReadersLock);
        if (!fThreadIO || fThreadIO->Terminated())
            return;
        fThreadIO->Terminate();
    }
    // A reader closing its own connection waits for nobody: an earlier reader may wait
    // for the main thread, which may be waiting for this one.
    if (!OwnReader())
        WaitReaders(false);
}

void TkvBaseIO::StopReaderOf(std::uintptr_t Medium) {
    std::lock_guard<std::mutex> lock(fReadersLock);
    for (TkvThreadIO* reader : fReaders)
        if (reader->fMedium == Medium)
            reader->Terminate();
}

void TkvBaseIO::WaitThreadIO() {
    WaitReaders(true);
}

void TkvBaseIO::CollectThreadIO() {
    std::vector<TkvThreadIO*> ended;
    {
        std::lock_guard<std::mutex> lock(fReadersLock);
        auto finished = [](TkvThreadIO* r) { return r->Finished(); };
        std::copy_if(fReaders.begin(), fReaders.end(), std::back_inserter(ended), finished);
        std::erase_if(fReaders, finished);
        if (std::find(ended.begin(), ended.end(), fThreadIO) != ended.end())
            fThreadIO = nullptr;
    }
    for (TkvThreadIO* reader : ended) {
        reader->WaitFor(); // its body has returned; its thread ends at once
        delete reader;
    }
}

void TkvBaseIO::WaitReaders(bool Release) {
    const DWORD self = GetCurrentThreadId();
    // A reader that is this thread, or waits for it in a synchronized call (its hand-off
    // to the main thread, say), cannot be waited for: it ends once its handler returns.
    auto onOwnStack = [self](TkvThreadIO* r) {
        return r->ThreadID() == self || WaitsForThisThread(r->ThreadID());
    };
    std::vector<TkvThreadIO*> waited, released;
    {
        std::lock_guard<std::mutex> lock(fReadersLock);
        for (TkvThreadIO* reader : fReaders) {
            if (Release)
                reader->Terminate();
            if (!reader->Terminated())
                continue; // the current reader of an open connection goes on
            if (!onOwnStack(reader))
                waited.push_back(reader);
            else if (Release)
                released.push_back(reader);
        }
        auto taken = [&](TkvThreadIO* r) {
            return std::find(waited.begin(), waited.end(), r) != waited.end() ||
                   std::find(released.begin(), released.end(), r) != released.end();
        };
        std::erase_if(fReaders, taken);
        if (taken(fThreadIO))
            fThreadIO = nullptr;
    }
    for (TkvThreadIO* reader : released) {
        reader->fkvLink = nullptr;
        reader->Detach();
    }
    for (TkvThreadIO* reader : waited) {
        reader->WaitFor();
        delete reader;
    }
}

void TkvBaseIO::ThreadIOExecute(TkvThreadIO*) {}

bool TkvBaseIO::HasReceivers() {
    return fTerminal.load() || fOnReceived.Get().Assigned() || fDataProcessor.Get();
}

// A received block on its way to the main thread. The reader waits while the main
// thread runs it, so the block needs no copy; a block whose connection has been closed
// meanwhile is not dispatched.
struct TkvBaseIO::THandOff {
    TkvBaseIO* Component;
    TkvThreadIO* Reader;
    void* Buffer;
    std::uint32_t Len;

    void Run() {
        if (!Reader->Terminated())
            Component->DoDataReceived(Buffer, Len);
    }
};

void TkvBaseIO::DoDataReceived(void* Buffer, std::uint32_t Len) {
    if (TkvThreadIO* reader = OwnReader(); reader && fUseMainThread) {
        THandOff handOff{this, reader, Buffer, Len};
        reader->Synchronize(TThreadMethod::Bind<&THandOff::Run>(&handOff));
        return;
    }
    // A handler may destroy this component; the gate tells, without touching it.
    const std::shared_ptr<TkvCallGate> self = CallGate();
    LogMessage(dlDebug, L"Input data length: " + IntToStr(Len));
    TIgnoreTypes r;
    if (auto processor = fDataProcessor.Call())
        processor->DoProcessing(static_cast<std::uint8_t*>(Buffer), Len, r);
    if (self->Closed())
        return;
    if (fTerminal.load() && !r.Contains(itTerminal))
        PassToTerminal(Buffer, Len);
    if (TOnReceived onReceived = fOnReceived.Get())
        onReceived(this, Buffer, Len);
}

bool TkvBaseIO::AfterSendComplete() {
    bool flag = false;
    if (auto processor = fDataProcessor.Call())
        processor->DoAfterSendComplete(flag);
    return flag;
}
