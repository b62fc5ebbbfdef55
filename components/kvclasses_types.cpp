// TkvNotifyList and TkvCustomLogFile.
#include "components/kvclasses.h"

#include "toolkit/exceptions.h"

#include <vector>

// ---- TkvNotifyList

TkvNotifyList::~TkvNotifyList() {
    Clear();
}

int TkvNotifyList::Add(TkvNotifyEvent Item) {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    return TList::Add(new TRecord{Item, fNextSerial++});
}

void TkvNotifyList::Delete(int index) {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    auto* record = static_cast<TRecord*>(TList::Get(index));
    TList::Delete(index);
    delete record;
}

void TkvNotifyList::Clear() {
    std::lock_guard<std::recursive_mutex> lock(fLock);
    for (int n = Count(); n > 0; --n)
        Delete(0);
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
        const TRecord* Record;
        std::uint64_t Serial;
    };
    std::vector<TEntry> pass;
    {
        std::lock_guard<std::recursive_mutex> lock(fLock);
        pass.reserve(static_cast<size_t>(Count()));
        for (int i = 0; i < Count(); ++i) {
            auto* r = static_cast<const TRecord*>(TList::Get(i));
            pass.push_back({r, r->Serial});
        }
    }
    for (const TEntry& e : pass) {
        TkvNotifyEvent event;
        {
            std::lock_guard<std::recursive_mutex> lock(fLock);
            if (TList::IndexOf(e.Record) < 0 || e.Record->Serial != e.Serial)
                continue;
            event = e.Record->Event;
        }
        event(Sender, Code);
    }
}

// ---- TkvCustomLogFile

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
