// TkvCallGate, TkvNotifyList and TkvCustomLogFile.
#include "components/kvclasses.h"

#include "toolkit/exceptions.h"

#include <algorithm>
#include <vector>

namespace {

// True while a call of another thread is in progress that this thread can wait for: not
// its own, and not one that waits for this thread in a synchronized call.
bool CalledElsewhere(const std::vector<DWORD>& Callers) {
    const DWORD self = GetCurrentThreadId();
    for (DWORD caller : Callers)
        if (caller != self && !WaitsForThisThread(caller))
            return true;
    return false;
}

} // namespace

// ---- TkvCallGate

TkvCallGate::TkvCallGate() : fLeft(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

TkvCallGate::~TkvCallGate() {
    CloseHandle(fLeft);
}

bool TkvCallGate::Enter() {
    std::lock_guard<std::mutex> lock(fLock);
    if (fClosed)
        return false;
    fCallers.push_back(GetCurrentThreadId());
    return true;
}

void TkvCallGate::Leave() {
    {
        std::lock_guard<std::mutex> lock(fLock);
        fCallers.erase(std::find(fCallers.begin(), fCallers.end(), GetCurrentThreadId()));
    }
    SetEvent(fLeft);
}

void TkvCallGate::Close() {
    std::unique_lock<std::mutex> lock(fLock);
    fClosed = true;
    while (CalledElsewhere(fCallers)) {
        lock.unlock();
        MainThreadWait(fLeft, 50); // serves the main thread's messages meanwhile
        lock.lock();
    }
}

bool TkvCallGate::Closed() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fClosed;
}

// ---- TkvNotifyList

TkvNotifyList::~TkvNotifyList() {
    Clear();
}

int TkvNotifyList::Add(TkvNotifyEvent Item) {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    return TList::Add(new TRecord{Item, fNextSerial++});
}

void TkvNotifyList::Delete(int index) {
    TRecord* record;
    {
        std::lock_guard<std::recursive_mutex> lock(fLock);
        record = static_cast<TRecord*>(TList::Get(index));
        TList::Delete(index);
    }
    // Unlisted, it gets no new call; the calls in progress on other threads end first.
    record->Calls->Close();
    delete record;
}

void TkvNotifyList::Clear() {
    for (int n = Count(); n > 0; --n)
        Delete(0);
    std::lock_guard<std::recursive_mutex> lock(fLock);
    TList::Clear();
}

TkvNotifyEvent TkvNotifyList::Get(int Index) const {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    return static_cast<TRecord*>(TList::Get(Index))->Event;
}

void TkvNotifyList::Put(int Index, TkvNotifyEvent Item) {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    static_cast<TRecord*>(TList::Get(Index))->Event = Item;
}

int TkvNotifyList::IndexOf(TkvNotifyEvent Item) const {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    for (int i = 0; i < Count(); ++i)
        if (static_cast<TRecord*>(TList::Get(i))->Event == Item)
            return i;
    return -1;
}

void TkvNotifyList::Call(TObject* Sender, std::int32_t Code) {
    // The pass works on the entries present at its start; each is called only while it
    // is still listed, and without the lock, so a subscriber may change the list.
    struct TEntry {
        TRecord* Record;
        std::uint64_t Serial;
    };
    std::vector<TEntry> pass;
    {
        std::lock_guard<std::recursive_mutex> lock(fLock);
        pass.reserve(static_cast<size_t>(Count()));
        for (int i = 0; i < Count(); ++i) {
            auto* r = static_cast<TRecord*>(TList::Get(i));
            pass.push_back({r, r->Serial});
        }
    }
    for (const TEntry& e : pass) {
        TkvNotifyEvent event;
        std::shared_ptr<TkvCallGate> calls;
        {
            std::lock_guard<std::recursive_mutex> lock(fLock);
            if (TList::IndexOf(e.Record) < 0 || e.Record->Serial != e.Serial)
                continue;
            event = e.Record->Event;
            calls = e.Record->Calls;
        }
        if (TkvGateEntry entry{std::move(calls)})
            event(Sender, Code);
    }
}

// ---- TkvCustomLogFile

TkvCustomLogFile::~TkvCustomLogFile() {
    EndCalls();
}

void TkvCustomLogFile::DoFatalErrors(std::uint32_t Code, std::uint32_t Detail, const String& Msg) {
    bool raiseException = true;
    if (fOnFatalError)
        fOnFatalError(this, Code, Detail, Msg, raiseException);
    if (raiseException)
        throw Exception(Msg);
}

void TkvCustomLogFile::Save() {
    ThrowAbstractError(L"TkvCustomLogFile.Save");
}
void TkvCustomLogFile::Clear() {
    ThrowAbstractError(L"TkvCustomLogFile.Clear");
}
void TkvCustomLogFile::Add(const String&) {
    ThrowAbstractError(L"TkvCustomLogFile.Add");
}
void TkvCustomLogFile::AddSysInfo() {
    ThrowAbstractError(L"TkvCustomLogFile.AddSysInfo");
}
void TkvCustomLogFile::AddLog(TDetailLevel, const String&) {
    ThrowAbstractError(L"TkvCustomLogFile.AddLog");
}
void TkvCustomLogFile::AddFmt(const String&, const TVarRecs&) {
    ThrowAbstractError(L"TkvCustomLogFile.AddFmt");
}
void TkvCustomLogFile::AddLogFmt(TDetailLevel, const String&, const TVarRecs&) {
    ThrowAbstractError(L"TkvCustomLogFile.AddLogFmt");
}
