#pragma once
// Inside the simulator: the installed world and everything the simulated functions keep
// (handles, searches, lookups, records, peers), behind one lock.

#include "sim/sim.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kvsim::detail {

struct TRadioFind {
    size_t Next = 1; // position of the radio the next call delivers
};

struct TDeviceFind {
    std::vector<BLUETOOTH_DEVICE_INFO> Found;
    size_t Next = 1;
};

struct TLookup {
    BTH_ADDR Device = 0;
    BTH_ADDR Radio = 0; // the local radio the records name
    GUID ServiceClass{};
    std::vector<TService> Records;
    size_t Next = 0;
};

// Keeps Winsock started while it lives.
struct TWinsockUse {
    TWinsockUse();
    ~TWinsockUse();
    TWinsockUse(const TWinsockUse&) = delete;
    TWinsockUse& operator=(const TWinsockUse&) = delete;
};

// Objects handed out as opaque handles: the handle is the object's address.
template <class T> using THandleTable = std::map<void*, std::unique_ptr<T>>;

template <class T> void* Add(THandleTable<T>& table, std::unique_ptr<T> item) {
    void* handle = item.get();
    table.emplace(handle, std::move(item));
    return handle;
}

template <class T> T* Find(THandleTable<T>& table, void* handle) {
    auto found = table.find(handle);
    return found == table.end() ? nullptr : found->second.get();
}

struct TState {
    TWinsockUse Winsock; // first in, last out: the peers' sockets close before Winsock ends
    TWorld World;        // radio states and pairing change it
    std::map<HANDLE, int> RadioHandles; // each radio handle delivered, to its radio
    THandleTable<TRadioFind> RadioFinds;
    THandleTable<TDeviceFind> DeviceFinds;
    THandleTable<TLookup> Lookups;
    std::map<void*, std::unique_ptr<BLUETOOTH_DEVICE_INFO[]>> Selections;    // pDevices handed out
    std::map<std::pair<size_t, size_t>, std::shared_ptr<TPeerServer>> Peers; // by device, service
    std::map<SOCKET, HANDLE> PendingConnects; // connects that wait, and what ends their wait

    std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> Searches;
    std::vector<TLookupCall> LookupCalls;
    std::vector<TLookupNextCall> LookupNextCalls;
    std::vector<TSelectCall> SelectCalls;
    std::vector<TPropertiesCall> PropertiesCalls;
    std::vector<TPairingCall> PairingCalls;

    ~TState();
};

// What outlives an installed world: the radio handles handed out, by the names of their
// events (a closed handle's value may come back for another object, a name does not), and
// the handles that worlds still held when they went.
struct TLedger {
    std::vector<std::wstring> Radios;
    TOpenHandles Abandoned;
};

std::mutex& Lock();
// The installed state; null while nothing is installed. Only under Lock().
std::unique_ptr<TState>& Installed();
// Only under Lock().
TLedger& Ledger();
// The components' outstanding Winsock start-ups (WSAStartup less WSACleanup through the
// socket table).
std::atomic<int>& WinsockStarts();

// Runs Body(state, error) under the lock and returns its result; sets the last error that
// it chose (non-zero) only once the lock is released, so that unlocking cannot disturb it.
// Without an installed world: Failed, with ERROR_SERVICE_NOT_ACTIVE.
template <class R, class B> R Call(R Failed, B Body, bool Winsock = false) {
    DWORD error = 0;
    R result = Failed;
    {
        std::lock_guard lock(Lock());
        if (TState* state = Installed().get())
            result = Body(*state, error);
        else
            error = ERROR_SERVICE_NOT_ACTIVE;
    }
    if (error != 0) {
        if (Winsock)
            WSASetLastError(int(error));
        else
            SetLastError(error);
    }
    return result;
}

// The platform's answer to a record passed in: ERROR_INVALID_PARAMETER for none,
// ERROR_REVISION_MISMATCH for a wrong dwSize, else 0.
template <class T> DWORD CheckRecord(const T* Record) {
    if (!Record)
        return ERROR_INVALID_PARAMETER;
    return Record->dwSize == sizeof *Record ? 0 : ERROR_REVISION_MISMATCH;
}

// The radio a delivered handle stands for, or -1.
int RadioOf(TState& State, HANDLE Radio);
// A fresh radio handle for the radio at Position, or null.
HANDLE DeliverRadio(TState& State, int Position);
// The device with that address, or null.
TDevice* DeviceAt(TState& State, BTH_ADDR Address);
// The device record that searches and the select dialog deliver.
BLUETOOTH_DEVICE_INFO DeviceInfo(const TDevice& Device);

} // namespace kvsim::detail
