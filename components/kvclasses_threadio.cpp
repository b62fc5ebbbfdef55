// The connections and readers of TkvBaseIO, and the dispatch of received blocks.
//
// A reader serves the one connection it was given when it was made. It receives nothing
// before the open has raised its events, and once its connection has stopped it touches
// the component no more: the closer waits for it, or it ends by itself.
#include "components/kvclasses.h"

#include <objbase.h>

namespace {

// The reader whose thread this is, if any.
thread_local TkvThreadIO* tReader = nullptr;

} // namespace

// ---- TkvConnection

TkvConnection::TkvConnection(std::uintptr_t Handle)
    : fHandle(Handle), fStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      fOpened(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      fReaderEnded(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

TkvConnection::~TkvConnection() {
    CloseHandle(fStop);
    CloseHandle(fOpened);
    CloseHandle(fReaderEnded);
}

void TkvConnection::Stop() {
    if (fStopped.exchange(true))
        return;
    SetEvent(fStop);
    Stopping();
}

// ---- TkvThreadIO

TkvThreadIO::TkvThreadIO(TkvBaseIO* akvLink, std::shared_ptr<TkvConnection> Connection,
                         TThreadPriority pr)
    : TThread(true), fkvLink(akvLink), fConnection(std::move(Connection)) {
    SetFreeOnTerminate(true);
    SetPriority(pr);
    ResetEvent(fConnection->fReaderEnded);
    fConnection->fReader = ThreadID();
    Start();
}

void TkvThreadIO::Execute() {
    tReader = this;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Nothing is received before the open has raised all its events.
    HANDLE opened[] = {fConnection->fOpened, fConnection->fStop};
    WaitForMultipleObjects(2, opened, FALSE, INFINITE);
    if (!fConnection->Stopped()) {
        try {
            fkvLink->ThreadIOExecute(this);
        } catch (...) {
        }
    }
    CoUninitialize();
    tReader = nullptr;
    SetEvent(fConnection->fReaderEnded); // the component may go from here on
}

// ---- Readers of TkvBaseIO

TkvThreadIO* TkvBaseIO::OwnReader() const {
    TkvThreadIO* reader = tReader;
    return reader && reader->fkvLink == this ? reader : nullptr;
}

bool TkvBaseIO::IsThreadIOTerminated() const {
    if (TkvThreadIO* reader = OwnReader())
        return reader->Connection()->Stopped();
    std::shared_ptr<TkvConnection> connection = CurrentConnection();
    return !connection || connection->Stopped();
}

void TkvBaseIO::StartThreadIO() {
    if (std::shared_ptr<TkvConnection> connection = CurrentConnection())
        new TkvThreadIO(this, std::move(connection), fPriority); // releases itself
}

void TkvBaseIO::StopThreadIO() {
    std::shared_ptr<TkvConnection> connection = CurrentConnection();
    if (!connection)
        return;
    connection->Stop();
    if (!WaitReader(*connection)) {
        std::lock_guard<std::mutex> lock(fStateLock);
        std::erase_if(fUnwaited, [](const auto& c) { return c.expired(); });
        fUnwaited.push_back(connection);
    }
}

bool TkvBaseIO::WaitReader(const TkvConnection& Connection) {
    const DWORD reader = Connection.fReader;
    // A reader that is this thread, or waits for it in a synchronized call (its hand-off to
    // the main thread), ends by itself once this thread's handler returns.
    if (reader == GetCurrentThreadId() || WaitsForThisThread(reader))
        return false;
    MainThreadWait(Connection.fReaderEnded);
    return true;
}

void TkvBaseIO::ThreadIOExecute(TkvThreadIO*) {}

bool TkvBaseIO::HasReceivers() {
    return fTerminal.load() || fOnReceived.Get().Assigned() || fDataProcessor.Get();
}

// ---- The dispatch

// A received block on its way to the main thread. The reader waits while the main
// thread runs it, so the block needs no copy; a block whose connection has stopped
// meanwhile is not dispatched.
struct TkvBaseIO::THandOff {
    TkvBaseIO* Component;
    const TkvConnection* Connection;
    void* Buffer;
    std::uint32_t Len;

    void Run() {
        if (!Connection->Stopped())
            Component->DoDataReceived(Buffer, Len);
    }
};

void TkvBaseIO::DoDataReceived(void* Buffer, std::uint32_t Len) {
    if (TkvThreadIO* reader = OwnReader(); reader && fUseMainThread) {
        THandOff handOff{this, reader->Connection().get(), Buffer, Len};
        reader->Synchronize(TThreadMethod::Bind<&THandOff::Run>(&handOff));
        return; // a handler may have destroyed the component: nothing of it from here
    }
    // On the main thread a handler may destroy this component.
    const TLife life = Life();
    LogMessage(dlDebug, L"Input data length: " + IntToStr(Len));
    TIgnoreTypes r;
    if (auto processor = fDataProcessor.Call())
        processor->DoProcessing(static_cast<std::uint8_t*>(Buffer), Len, r);
    if (life.Ended())
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
