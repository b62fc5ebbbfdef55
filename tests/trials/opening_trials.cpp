// Fault trials of the open that waits: opens of a slow device ended at a random moment.
#include "trials/fault_trials.h"

#include "trials/trial_support.h"
#include "trials/trial_world.h"

#include "components/kvbt.h"
#include "toolkit/forms.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace kvtrials {

namespace {

const UINT WM_TRIAL_ACT = WM_APP + 78;

// A window whose posted message runs an action on the main thread, as a user's click
// reaches a program whatever it is doing.
class TInbox : public TForm {
public:
    TInbox() : TForm(nullptr) {
        fOwn = GetWindowProc();
        SetWindowProc(TWndMethod::Bind<&TInbox::Proc>(this));
        fWindow = GetHandle();
    }
    // Posts the action from another thread after DelayMs; Join waits for that thread.
    void PostAfter(DWORD DelayMs, std::function<void()> Action) {
        fAction = std::move(Action);
        fPoster = std::thread([this, DelayMs] {
            Sleep(DelayMs);
            PostMessageW(fWindow, WM_TRIAL_ACT, 0, 0);
        });
    }
    void Join() {
        if (fPoster.joinable())
            fPoster.join();
    }
    bool Acted() const { return !fAction; }

private:
    void Proc(TMessage& Message) {
        if (Message.Msg != WM_TRIAL_ACT)
            return fOwn(Message);
        if (auto action = std::exchange(fAction, nullptr))
            action();
    }
    TWndMethod fOwn;
    HWND fWindow;
    std::function<void()> fAction;
    std::thread fPoster;
};

} // namespace

TTrialReport CancelledOpens(int Count, unsigned Seed) {
    TTrialReport report{"opens ended at a random moment", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    TInbox inbox;
    const char* kinds[] = {"Active false", "destruction", "ConnectTimeout"};
    const DWORD openMs = 18 * kSlowLookupMs + kSlowConnectMs;

    auto trial = [&](int Trial, bool Counted) {
        const int kind = static_cast<int>(rng() % 3);
        const DWORD moment = static_cast<DWORD>(rng() % (openMs + 100));
        auto* bt = new TkvBT(nullptr);
        TWatch watch(*bt);
        SelectDevice(*bt, kSlow);
        // When the open was ended: by the time limit, or by the action.
        ULONGLONG ended = GetTickCount64() + moment + 1;
        if (kind == 2)
            bt->SetConnectTimeout(moment + 1);
        else
            inbox.PostAfter(moment, [&] {
                ended = GetTickCount64();
                if (kind == 0) {
                    bt->SetActive(false);
                } else {
                    delete bt;
                    bt = nullptr;
                    watch.Gone = true;
                }
            });
        bt->SetActive(true); // the watch clears RaiseException: no exception
        const ULONGLONG returned = GetTickCount64();
        const bool opened = bt && bt->GetActive();
        if (kind != 2) {
            PumpUntil([&] { return inbox.Acted(); }, 3000);
            inbox.Join();
        }
        if (Counted) {
            ++report.Counts[kinds[kind]];
            ++report.Counts[opened ? "opens that got through first" : "opens ended early"];
            if (!opened) {
                const long long late = returned > ended ? returned - ended : 0;
                auto& worst = report.Counts["worst ms from an open's end to its return"];
                worst = std::max(worst, late);
                if (late > 100)
                    ++report.Counts["opens returning over 100 ms after their end"];
            }
        }
        if (!opened && watch.Connects != 0)
            Fail(report, Trial, std::string(kinds[kind]) + ": OnConnect of an open ended early");
        if (!opened && kind != 2 && watch.Fatals != 0)
            Fail(report, Trial, std::string(kinds[kind]) + ": a fatal error for a cancel");
        if (!opened && kind == 2 && watch.LastDetail != WSAETIMEDOUT)
            Fail(report, Trial, "the time-out reported " + std::to_string(watch.LastDetail));
        if (bt) {
            bt->SetActive(false);
            delete bt;
            watch.Gone = true;
        }
        PumpUntil([] { return false; }, 1); // room for a late call, should one come
        FailUnlessMatched(report, Trial, watch.Connects, watch.Disconnects);
        if (watch.LateCalls != 0)
            Fail(report, Trial, std::string(kinds[kind]) + ": a callback after the component went");
    };
    for (int i = 0; i < std::min(Count, 20); ++i) // what Winsock and Wine make once
        trial(-1, false);
    const TProcessCount before;
    for (int i = 0; i < Count; ++i)
        trial(i, true);
    before.Check(report, Count);
    return report;
}

} // namespace kvtrials
