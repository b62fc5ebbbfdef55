#pragma once
// What the fault trials and the benchmarks share: the figures that show what this process
// holds, a message pump for the main thread, and the selection of a device by address.

#include "components/kvbt.h"
#include "sim/sim_world.h"

#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

namespace kvtrials {

// Open handles of this process, from the system's handle table (GetProcessHandleCount
// answers 0 under Wine); -1 when the table cannot be read.
int ProcessHandleCount();
// Threads of this process (Toolhelp); -1 when they cannot be listed.
int ProcessThreadCount();

// A long-lived lock (the simulator's, the socket ledger's, Winsock's) gets a semaphore or
// an event from the threads library the first time two threads meet on it, and keeps it:
// a few such handles appear once, at a random cycle. A leak of the cycles themselves
// grows with their count, far beyond this.
inline const int kLazyLockHandles = 4;

// Handles one waiting message of this thread, or waits up to 10 ms for one. One at a
// time, so that a caller under a flood of messages still gets to look at its clock.
void PumpOnce();
// Pumps messages until Condition holds or TimeoutMs pass.
template <class C> bool PumpUntil(C Condition, DWORD TimeoutMs) {
    ULONGLONG start = GetTickCount64();
    while (!Condition()) {
        if (GetTickCount64() - start > TimeoutMs)
            return false;
        PumpOnce();
    }
    return true;
}

// A device of a simulated world, remembered and reported by the world's first radio,
// offering one Serial Port service (channel 1) whose far end is Peer.
kvsim::TDevice SerialDevice(const std::wstring& Name, BTH_ADDR Address, const kvsim::TPeer& Peer);
// A world of one radio, "Radio" at RadioAddress, and Devices; its inquiries end at once.
kvsim::TWorld SerialWorld(BTH_ADDR RadioAddress, std::vector<kvsim::TDevice> Devices);

// The events a component raised, a letter each, in order, from whatever thread.
class TEventLetters {
public:
    void Add(char Event) {
        std::lock_guard<std::mutex> lock(fLock);
        fEvents += Event;
    }
    std::string Get() {
        std::lock_guard<std::mutex> lock(fLock);
        return fEvents;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(fLock);
        fEvents.clear();
    }

private:
    std::mutex fLock;
    std::string fEvents;
};

// Lists the devices when none are listed, and selects the one at Address; false when it
// is not listed.
bool SelectDevice(TkvBT& Bt, BTH_ADDR Address);

} // namespace kvtrials
