#include "trials/trial_world.h"

#include <map>
#include <vector>

namespace kvtrials {

namespace {

// Every socket the components make and every close of one, so that a trial can tell that
// each socket was closed exactly once.
struct TSocketLedger {
    std::mutex Lock;
    std::vector<SOCKET> Made;
    std::map<SOCKET, int> Closes;
};
TSocketLedger gLedger;
TkvSocketApi gForward;

SOCKET WSAAPI CountedSocket(int af, int type, int protocol) {
    SOCKET s = gForward.socket(af, type, protocol);
    if (s != INVALID_SOCKET) {
        std::lock_guard lock(gLedger.Lock);
        gLedger.Made.push_back(s);
        gLedger.Closes[s] = 0;
    }
    return s;
}

int WSAAPI CountedClose(SOCKET s) {
    {
        std::lock_guard lock(gLedger.Lock);
        ++gLedger.Closes[s];
    }
    return gForward.closesocket(s);
}

} // namespace

SOCKET LastSocket() {
    std::lock_guard lock(gLedger.Lock);
    return gLedger.Made.empty() ? INVALID_SOCKET : gLedger.Made.back();
}

int ClosesOf(SOCKET s) {
    std::lock_guard lock(gLedger.Lock);
    auto found = gLedger.Closes.find(s);
    return found == gLedger.Closes.end() ? 0 : found->second;
}

int SocketsMade() {
    std::lock_guard lock(gLedger.Lock);
    return static_cast<int>(gLedger.Made.size());
}

std::string LedgerFaults() {
    std::lock_guard lock(gLedger.Lock);
    std::string faults;
    for (const auto& [s, closes] : gLedger.Closes)
        if (closes != 1)
            faults +=
                " socket " + std::to_string(s) + " closed " + std::to_string(closes) + " times;";
    return faults;
}

TTrialWorld::TTrialWorld() {
    kvsim::TWorld world;
    kvsim::TRadio radio;
    radio.Name = kLongText;
    radio.Address = 0x00FA0C000A01;
    world.Radios.push_back(radio);
    kvsim::TPeer echo, refusing, timingOut, stalling;
    refusing.ConnectError = WSAECONNREFUSED;
    timingOut.ConnectError = WSAETIMEDOUT;
    timingOut.ConnectDelayMs = 20;
    stalling.StallAfter = kStallAfter;
    world.Devices = {
        SerialDevice(L"Echo", kEcho, echo), SerialDevice(L"Refusing", kRefusing, refusing),
        SerialDevice(L"Timing Out", kTimingOut, timingOut),
        SerialDevice(kLongText, kLongName, echo), SerialDevice(L"Stalling", kStalling, stalling)};
    kvsim::TPeer slow;
    slow.ConnectDelayMs = kSlowConnectMs;
    world.Devices.push_back(SerialDevice(L"Slow", kSlow, slow));
    world.Devices.back().LookupDelayMs = kSlowLookupMs;
    kvsim::Install(world);
    gForward = kvSocketApi;
    kvSocketApi.socket = CountedSocket;
    kvSocketApi.closesocket = CountedClose;
    std::lock_guard lock(gLedger.Lock);
    gLedger.Made.clear();
    gLedger.Closes.clear();
}

TTrialWorld::~TTrialWorld() {
    kvSocketApi.socket = gForward.socket;
    kvSocketApi.closesocket = gForward.closesocket;
    kvsim::Uninstall();
}

// ---- a component's events, watched

TWatch::TWatch(TkvBT& Bt) {
    Bt.SetOnConnect(TNotifyEvent::Bind<&TWatch::Connected>(this));
    Bt.SetOnDisconnect(TNotifyEvent::Bind<&TWatch::Disconnected>(this));
    Bt.SetOnFatalError(TOnFatalErrorEvent::Bind<&TWatch::Fatal>(this));
    Bt.SetOnReceived(TOnReceived::Bind<&TWatch::Arrived>(this));
}

std::string TWatch::Received() {
    std::lock_guard lock(fLock);
    return fReceived;
}

size_t TWatch::ReceivedCount() {
    std::lock_guard lock(fLock);
    return fReceived.size();
}

void TWatch::ClearReceived() {
    std::lock_guard lock(fLock);
    fReceived.clear();
}

void TWatch::Call() {
    if (Gone)
        ++LateCalls;
}

void TWatch::Connected(TObject*) {
    Call();
    ++Connects;
}

void TWatch::Disconnected(TObject*) {
    Call();
    ++Disconnects;
}

void TWatch::Fatal(TObject*, std::uint32_t, std::uint32_t Detail, const String&,
                   bool& RaiseException) {
    Call();
    ++Fatals;
    LastDetail = Detail;
    RaiseException = false;
}

void TWatch::Arrived(TObject*, void* Buffer, std::uint32_t Len) {
    Call();
    {
        std::lock_guard lock(fLock);
        fReceived.append(static_cast<const char*>(Buffer), Len);
    }
    if (TkvBT* bt = CloseOnReceive.exchange(nullptr)) {
        bt->SetActive(false);
        if (ReopenAfterClose) {
            bt->SetActive(true);
            ++Reopens;
        }
    }
}

std::string Random(std::mt19937& Rng, size_t Size) {
    std::string bytes(Size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(Rng());
    return bytes;
}

bool WaitClosed(SOCKET S, DWORD TimeoutMs) {
    return PumpUntil([&] { return ClosesOf(S) > 0; }, TimeoutMs);
}

// Waits until the threads are back to Threads and the handles to Handles (give or take
// the lazily made lock handles): what a cycle leaves takes a moment to go.
bool SettleTo(int Handles, int Threads, DWORD TimeoutMs) {
    return PumpUntil(
        [&] {
            return ProcessHandleCount() <= Handles + kLazyLockHandles &&
                   ProcessThreadCount() <= Threads;
        },
        TimeoutMs);
}

void Fail(TTrialReport& Report, int Trial, const std::string& What) {
    Report.Failures.push_back("trial " + std::to_string(Trial) + ": " + What);
}

void FailUnlessMatched(TTrialReport& Report, int Trial, int Connects, int Disconnects) {
    if (Connects != Disconnects)
        Fail(Report, Trial,
             std::to_string(Connects) + " connects but " + std::to_string(Disconnects) +
                 " disconnects");
}

TProcessCount::TProcessCount() : fHandles(ProcessHandleCount()), fThreads(ProcessThreadCount()) {}

void TProcessCount::Check(TTrialReport& Report, int Trial) const {
    if (fHandles < 0 || fThreads < 0) {
        Fail(Report, Trial, "the process's handles or threads cannot be counted");
        return;
    }
    bool settled = SettleTo(fHandles, fThreads, 5000);
    Report.Counts["handles before"] = fHandles;
    Report.Counts["handles after"] = ProcessHandleCount();
    Report.Counts["threads before"] = fThreads;
    Report.Counts["threads after"] = ProcessThreadCount();
    if (!settled)
        Fail(Report, Trial,
             "handles or threads did not return to their count before (handles: at most " +
                 std::to_string(kLazyLockHandles) + " lazily made lock handles allowed)");
}

} // namespace kvtrials
