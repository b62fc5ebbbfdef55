// Fault trials of what an application's handlers do: reconnect from OnDisconnect, close
// and reopen from OnReceived, send large blocks while the echo fills a terminal, and
// destroy a linked processor or log while data flows.
#include "trials/fault_trials.h"

#include "trials/trial_support.h"
#include "trials/trial_world.h"

#include "components/kvbt.h"
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace kvtrials {

namespace {

// Opens Bt on Device and waits until its peer has taken the link; false when it did not.
bool Connect(TkvBT& Bt, BTH_ADDR Device) {
    auto peer = TTrialWorld::PeerOf(Device);
    int links = peer->Connections();
    if (!SelectDevice(Bt, Device))
        return false;
    Bt.SetActive(true);
    return Bt.GetActive() && peer->WaitConnections(links + 1, 2000);
}

// Sends Bytes and waits until the echo has come back whole through Watch.
bool Echoes(TkvBT& Bt, TWatch& Watch, const std::string& Bytes, DWORD TimeoutMs = 5000) {
    Watch.ClearReceived();
    Bt.SendData(reinterpret_cast<const std::uint8_t*>(Bytes.data()),
                static_cast<std::uint32_t>(Bytes.size()));
    return PumpUntil([&] { return Watch.ReceivedCount() >= Bytes.size(); }, TimeoutMs) &&
           Watch.Received() == Bytes;
}

// Writes Active true from OnDisconnect: on the thread that raised it, or by asking the
// main thread to.
class TReconnector {
public:
    explicit TReconnector(TkvBT& Bt) : fBt(Bt) {
        Bt.SetOnDisconnect(TNotifyEvent::Bind<&TReconnector::Disconnected>(this));
    }
    std::atomic<bool> On{true};     // off for the application's own close at the end
    std::atomic<bool> HandToMain{false};
    std::atomic<bool> Asked{false}; // the main thread is asked to reconnect
    std::atomic<int> Disconnects{0}, OnReader{0};

    // The main thread's part: a reconnect that was handed to it.
    void Serve() {
        if (Asked.exchange(false))
            fBt.SetActive(true);
    }

private:
    void Disconnected(TObject*) {
        ++Disconnects;
        if (!On)
            return;
        if (HandToMain) {
            Asked = true;
            return;
        }
        if (!IsMainThread())
            ++OnReader;
        fBt.SetActive(true);
    }
    TkvBT& fBt;
};

// A processor or a log that counts the calls into it, and those after its destruction
// began; each call lasts a moment, so that destructions meet calls in progress.
struct TCallWatch {
    std::atomic<int> Calls{0}, LateCalls{0};
    std::atomic<bool> Inside{false}, Gone{false};
    void Enter() {
        if (Gone)
            ++LateCalls;
        ++Calls;
        Inside = true;
        Sleep(2);
        Inside = false;
    }
};

class TWatchedProcessor : public TkvCustomDataProcessor {
public:
    TWatchedProcessor(TComponent* Owner, TCallWatch& Watch)
        : TkvCustomDataProcessor(Owner), fWatch(Watch) {}
    ~TWatchedProcessor() override {
        EndCalls();
        fWatch.Gone = true;
    }
    void DoProcessing(std::uint8_t*, std::uint32_t, TIgnoreTypes&) override { fWatch.Enter(); }

private:
    TCallWatch& fWatch;
};

class TWatchedLog : public TkvCustomLogFile {
public:
    TWatchedLog(TComponent* Owner, TCallWatch& Watch) : TkvCustomLogFile(Owner), fWatch(Watch) {}
    ~TWatchedLog() override {
        EndCalls();
        fWatch.Gone = true;
    }
    void AddLog(TDetailLevel, const String&) override { fWatch.Enter(); }

private:
    TCallWatch& fWatch;
};

} // namespace

// ---- automatic reconnects

TTrialReport Reconnects(int Count, unsigned Seed) {
    TTrialReport report{"automatic reconnects from OnDisconnect", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    auto peer = TTrialWorld::EchoPeer();

    auto run = [&](int Cycles, bool Counted) {
        TkvBT bt(nullptr);
        TWatch watch(bt);
        TReconnector reconnector(bt);
        if (!Connect(bt, kEcho)) {
            Fail(report, 0, "the echo device did not connect");
            return;
        }
        for (int trial = 0; trial < Cycles; ++trial) {
            bool toMain = rng() % 2;
            reconnector.HandToMain = toMain;
            if (Counted)
                ++report.Counts[toMain ? "handed to the main thread" : "on the reader thread"];
            int links = peer->Connections(), disconnects = reconnector.Disconnects;
            peer->Drop();
            bool back = PumpUntil(
                [&] {
                    reconnector.Serve();
                    return reconnector.Disconnects > disconnects && bt.GetActive() &&
                           peer->Connections() > links;
                },
                3000);
            if (!back) {
                Fail(report, trial, "no reconnect within 3 s");
                return;
            }
            if (reconnector.Disconnects != disconnects + 1)
                Fail(report, trial,
                     std::to_string(reconnector.Disconnects - disconnects) + " disconnects");
        }
        if (!Echoes(bt, watch, Random(rng, 500)))
            Fail(report, Cycles, "the last connection did not carry an exchange");
        reconnector.On = false;
        bt.SetActive(false);
        if (Counted) {
            report.Counts["OnConnect"] = watch.Connects;
            report.Counts["OnDisconnect"] = reconnector.Disconnects;
            report.Counts["reconnects that ran on the reader thread"] = reconnector.OnReader;
            FailUnlessMatched(report, Cycles, watch.Connects, reconnector.Disconnects);
        }
    };
    run(std::min(Count, 100), false); // what Winsock and Wine make once, made before counting
    const TProcessCount before;
    run(Count, true);
    before.Check(report, Count);
    return report;
}

// ---- closes and reopens from OnReceived

TTrialReport ReopensFromReceive(int Count, unsigned Seed) {
    TTrialReport report{"close and reopen from OnReceived", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    auto peer = TTrialWorld::EchoPeer();
    TkvBT bt(nullptr);
    TWatch watch(bt);
    watch.ReopenAfterClose = true;
    if (!Connect(bt, kEcho)) {
        Fail(report, 0, "the echo device did not connect");
        return report;
    }
    for (int trial = 0; trial < Count; ++trial) {
        bool mainThread = rng() % 2;
        ++report.Counts[mainThread ? "dispatched on the main thread" : "dispatched on the reader"];
        bt.SetUseMainThread(mainThread);
        int links = peer->Connections(), done = watch.Reopens;
        watch.CloseOnReceive = &bt;
        peer->Send("reopen");
        if (!PumpUntil([&] { return watch.Reopens > done && peer->Connections() > links; }, 3000)) {
            Fail(report, trial, "no reopen within 3 s");
            return report;
        }
        if (!bt.GetActive() || !Echoes(bt, watch, Random(rng, 1 + rng() % 300)))
            Fail(report, trial, "the new connection did not carry the next exchange");
        watch.ClearReceived();
    }
    bt.SetActive(false);
    PumpUntil([&] { return watch.Disconnects == watch.Connects; }, 2000);
    report.Counts["OnConnect"] = watch.Connects;
    report.Counts["OnDisconnect"] = watch.Disconnects;
    if (watch.Connects != Count + 1)
        Fail(report, Count, std::to_string(watch.Connects) + " connects for " +
                                std::to_string(Count) + " reopens and the first open");
    FailUnlessMatched(report, Count, watch.Connects, watch.Disconnects);
    return report;
}

// ---- large sends

TTrialReport LargeSends(size_t Size, unsigned Seed) {
    TTrialReport report{"large sends with a terminal", 0, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    // What a device sends a terminal: lines of text.
    std::string block(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        block[i] = i % 64 == 62 ? '\r' : i % 64 == 63 ? '\n' : static_cast<char>('!' + rng() % 94);
    TForm form(nullptr);
    form.SetBounds(0, 0, 640, 480);
    auto* memo = new TMemo(&form);
    memo->SetParent(&form);
    memo->SetBounds(0, 0, 620, 440);
    form.Show();
    for (BTH_ADDR device : {kEcho, kStalling})
        for (bool mainThread : {false, true})
            for (bool asString : {false, true}) {
                const std::string name = std::string(asString ? "SendString" : "SendData") +
                                         (mainThread ? ", main thread" : ", reader thread") +
                                         (device == kStalling ? ", stalling peer" : "");
                ++report.Trials;
                TkvBT bt(nullptr);
                TWatch watch(bt);
                bt.SetUseMainThread(mainThread);
                bt.SetTerminal(memo);
                bt.SetTerminalUsage(tuReceive);
                if (!Connect(bt, device)) {
                    Fail(report, report.Trials, name + ": did not connect");
                    continue;
                }
                auto peer = TTrialWorld::PeerOf(device);
                // The stalling peer reads again a moment after it stopped.
                std::thread resumer;
                if (device == kStalling)
                    resumer = std::thread([peer] {
                        if (peer->WaitReceived(static_cast<size_t>(kStallAfter), 30000)) {
                            Sleep(300);
                            peer->Resume();
                        }
                    });
                const auto start = std::chrono::steady_clock::now();
                if (asString)
                    bt.SendString(block);
                else
                    bt.SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                                static_cast<std::uint32_t>(block.size()));
                const DWORD timeout = 30000 + static_cast<DWORD>(Size / 50);
                bool whole = PumpUntil([&] { return watch.ReceivedCount() >= Size; }, timeout);
                if (resumer.joinable())
                    resumer.join();
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
                report.Counts[name + ": ms"] = ms;
                if (!whole || peer->Received() != block)
                    Fail(report, report.Trials, name + ": the peer did not receive it whole");
                else if (watch.Received() != block)
                    Fail(report, report.Trials, name + ": the echo did not come back whole");
                else
                    report.Counts["bytes sent and echoed whole"] += static_cast<long long>(Size);
                bt.SetActive(false);
            }
    return report;
}

// ---- destruction while data flows

TTrialReport DestructionsWhileFlowing(int Count, unsigned Seed) {
    TTrialReport report{"destruction of a linked processor or log while data flows", Count,
                        {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    TkvBT bt(nullptr);
    TWatch watch(bt);
    if (!Connect(bt, kEcho)) {
        Fail(report, 0, "the echo device did not connect");
        return report;
    }
    bt.SetBufferInSize(256); // many small blocks: the flow lasts while the trial destroys
    for (int trial = 0; trial < Count; ++trial) {
        TCallWatch calls;
        const bool processor = rng() % 2;
        ++report.Counts[processor ? "processors destroyed" : "logs destroyed"];
        TComponent* target;
        if (processor) {
            auto* p = new TWatchedProcessor(nullptr, calls);
            bt.SetDataProcessor(p);
            target = p;
        } else {
            auto* l = new TWatchedLog(nullptr, calls);
            bt.SetLog(l);
            target = l;
        }
        const std::string bytes = Random(rng, 4000 + rng() % 8000);
        watch.ClearReceived();
        bt.SendData(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                    static_cast<std::uint32_t>(bytes.size()));
        PumpUntil([&] { return calls.Calls > 0; }, 2000);
        PumpUntil([] { return false; }, rng() % 50);
        if (calls.Inside)
            ++report.Counts["destructions that met a call in progress"];
        delete target;
        if (calls.Inside)
            Fail(report, trial, "a call was still in progress after the destruction");
        if (!PumpUntil([&] { return watch.ReceivedCount() >= bytes.size(); }, 5000) ||
            watch.Received() != bytes)
            Fail(report, trial, "the data did not keep coming whole");
        if (calls.LateCalls != 0)
            Fail(report, trial, "a call reached it after its destruction began");
    }
    return report;
}

} // namespace kvtrials
