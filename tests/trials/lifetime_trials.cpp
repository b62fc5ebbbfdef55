// Fault trials of a connection's life: links that drop while the open raises its events,
// and closes that meet a receive handler in progress.
#include "trials/fault_trials.h"

#include "trials/trial_support.h"
#include "trials/trial_world.h"

#include "components/kvbt.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace kvtrials {

namespace {

// The order of a component's connects (C) and disconnects (D), and a handler's action for
// the open's events.
struct TOrder : TEventLetters {
    std::function<void(bool InOnConnect)> DuringOpen;
    void Opened(TObject*) {
        if (DuringOpen)
            DuringOpen(false);
    }
    void Connected(TObject*) {
        Add('C');
        if (DuringOpen)
            DuringOpen(true);
    }
    void Disconnected(TObject*) { Add('D'); }
};

} // namespace

TTrialReport DropsDuringOpens(int Count, unsigned Seed) {
    TTrialReport report{"links dropped during the open", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    auto peer = TTrialWorld::EchoPeer();
    TkvBT bt(nullptr);
    TOrder order;
    bt.SetOnOpen(TNotifyEvent::Bind<&TOrder::Opened>(&order));
    bt.SetOnConnect(TNotifyEvent::Bind<&TOrder::Connected>(&order));
    bt.SetOnDisconnect(TNotifyEvent::Bind<&TOrder::Disconnected>(&order));
    SelectDevice(bt, kEcho);
    const TProcessCount before;
    for (int trial = 0; trial < Count; ++trial) {
        const bool inOnOpen = rng() % 2 == 0;
        const DWORD pause = rng() % 20;
        bool dropped = false;
        order.DuringOpen = [&](bool InOnConnect) {
            // Once per open, in OnOpen or in OnConnect: the link drops, and the handler
            // gives a reader the time to notice before the open's events go on.
            if (dropped || InOnConnect == inOnOpen)
                return;
            dropped = true;
            for (int i = 0; i < 2000 && !peer->Drop(); ++i)
                Sleep(1); // until the peer has taken the link
            Sleep(pause);
        };
        ++report.Counts[inOnOpen ? "dropped in OnOpen" : "dropped in OnConnect"];
        order.Clear();
        bt.SetActive(true);
        if (!PumpUntil([&] { return order.Get().find('D') != std::string::npos; }, 5000))
            Fail(report, trial, "the dropped link did not end in a disconnect");
        PumpUntil([] { return false; }, 2); // room for a late event, should one come
        if (order.Get() != "CD")
            Fail(report, trial, "events " + order.Get() + " instead of CD");
    }
    order.DuringOpen = nullptr;
    before.Check(report, Count);
    return report;
}

TTrialReport ClosesDuringHandlers(int Count, unsigned Seed) {
    TTrialReport report{"closes while a receive handler runs", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    auto peer = TTrialWorld::EchoPeer();
    struct THandler {
        TkvBT* Bt = nullptr;
        std::atomic<bool> Closed{false}; // Active false has returned
        std::atomic<int> Running{0}, Calls{0}, AfterClose{0};
        std::atomic<bool> Wait{false};
        void Received(TObject*, void*, std::uint32_t) {
            if (Closed)
                ++AfterClose;
            ++Running;
            ++Calls;
            if (Wait)
                Bt->WaitForBytes(1 << 20, 2000); // the close ends it at once
            else
                Sleep(1);
            if (Closed)
                ++AfterClose;
            --Running;
        }
    };
    const TProcessCount before;
    for (int trial = 0; trial < Count; ++trial) {
        auto* bt = new TkvBT(nullptr);
        THandler handler;
        handler.Bt = bt;
        handler.Wait = rng() % 2 == 0;
        bt->SetUseMainThread(rng() % 4 == 0);
        bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
        SelectDevice(*bt, kEcho);
        bt->SetActive(true);
        const int links = peer->Connections();
        if (!bt->GetActive() || !PumpUntil([&] { return peer->Connections() >= links; }, 2000)) {
            Fail(report, trial, "did not connect");
            delete bt;
            continue;
        }
        bt->SendString(std::string(1000, 'h')); // the echo keeps the handler busy
        PumpUntil([&] { return handler.Calls > 0; }, 2000);
        PumpUntil([] { return false; }, rng() % 3);
        ++report
              .Counts[handler.Running > 0 ? "closed inside a handler" : "closed between handlers"];
        bt->SetActive(false);
        handler.Closed = true;
        if (handler.Running != 0)
            Fail(report, trial, "a handler still ran when Active false returned");
        PumpUntil([] { return false; }, 5); // room for a late call, should one come
        delete bt;
        if (handler.AfterClose != 0)
            Fail(report, trial, "a handler ran after Active false returned");
    }
    before.Check(report, Count);
    return report;
}

} // namespace kvtrials
