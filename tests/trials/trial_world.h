#pragma once
// What the fault trials share: their simulated world with its devices, the ledger of the
// sockets that components make and close, a watch on a component's events, and the
// helpers that wait, settle and report.

#include "trials/fault_trials.h"
#include "trials/trial_support.h"

#include "components/kvbt.h"
#include "sim/sim.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>

namespace kvtrials {

inline const BTH_ADDR kEcho = 0x00FA0C000001;
inline const BTH_ADDR kRefusing = 0x00FA0C000002;
inline const BTH_ADDR kTimingOut = 0x00FA0C000003;
inline const BTH_ADDR kLongName = 0x00FA0C000004;
inline const BTH_ADDR kStalling = 0x00FA0C000005; // an echo that stops reading, until resumed
inline const BTH_ADDR kSlow = 0x00FA0C000006;     // its lookup and its connect take a while
inline const DWORD kSlowLookupMs = 10;            // each of the 18 lookup begins
inline const DWORD kSlowConnectMs = 300;
inline const long long kStallAfter = 128 * 1024;
inline const GUID kSerialPort = kvsim::ServiceClass16(0x1101);
// The longest name: no room for a terminating zero.
inline const std::wstring kLongText(248, L'N');

// ---- the socket calls, counted

// The last socket a component made, how often a socket was closed, how many were made,
// and the sockets not closed exactly once, as text (empty when all were).
SOCKET LastSocket();
int ClosesOf(SOCKET s);
int SocketsMade();
std::string LedgerFaults();

// The trials' world, installed with the counting socket calls for as long as it lives.
class TTrialWorld {
public:
    TTrialWorld();
    ~TTrialWorld();
    TTrialWorld(const TTrialWorld&) = delete;
    TTrialWorld& operator=(const TTrialWorld&) = delete;
    static std::shared_ptr<kvsim::TPeerServer> EchoPeer() { return PeerOf(kEcho); }
    static std::shared_ptr<kvsim::TPeerServer> PeerOf(BTH_ADDR Device) {
        return kvsim::Peer(Device, kSerialPort);
    }
};

// ---- a component's events, watched

class TWatch {
public:
    explicit TWatch(TkvBT& Bt);

    std::atomic<int> Connects{0}, Disconnects{0}, Fatals{0}, LateCalls{0};
    std::atomic<std::uint32_t> LastDetail{0};
    std::atomic<bool> Gone{false};               // the component has been destroyed
    std::atomic<TkvBT*> CloseOnReceive{nullptr}; // closes this component inside OnReceived
    std::atomic<bool> ReopenAfterClose{false};   // and opens it again there
    std::atomic<int> Reopens{0};

    std::string Received();
    size_t ReceivedCount();
    void ClearReceived();

private:
    void Call();
    void Connected(TObject*);
    void Disconnected(TObject*);
    void Fatal(TObject*, std::uint32_t, std::uint32_t Detail, const String&, bool& RaiseException);
    void Arrived(TObject*, void* Buffer, std::uint32_t Len);

    std::mutex fLock;
    std::string fReceived;
};

std::string Random(std::mt19937& Rng, size_t Size);

// Waits until the last holder of socket S has closed it.
bool WaitClosed(SOCKET S, DWORD TimeoutMs);

// Waits until the threads are back to Threads and the handles to Handles (give or take
// the lazily made lock handles): what a cycle leaves takes a moment to go.
bool SettleTo(int Handles, int Threads, DWORD TimeoutMs);

void Fail(TTrialReport& Report, int Trial, const std::string& What);
// Fails the trial unless every connect was matched by one disconnect.
void FailUnlessMatched(TTrialReport& Report, int Trial, int Connects, int Disconnects);

// The process's handles and threads, noted before a trial's counted runs; Check waits for
// them to come back and reports both counts, and a failure when they did not.
class TProcessCount {
public:
    TProcessCount();
    void Check(TTrialReport& Report, int Trial) const;

private:
    int fHandles, fThreads;
};

} // namespace kvtrials
