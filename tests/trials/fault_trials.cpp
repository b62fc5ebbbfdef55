#include "trials/fault_trials.h"

#include "trials/trial_support.h"
#include "trials/trial_world.h"

#include "components/kvbt.h"
#include "sim/sim.h"
#include "sim/sim_worldfile.h"
#include "toolkit/application.h"
#include "toolkit/forms.h"
#include "toolkit/formreader.h"
#include "toolkit/stdctrls.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace kvtrials {

// ---- connect and disconnect cycles

TTrialReport ConnectCycles(int Count, unsigned Seed) {
    TTrialReport report{"connect and disconnect cycles", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    const char* kinds[] = {"refused", "timed out", "dropped by the peer",
                           "closed by the application"};

    auto cycle = [&](TkvBT& bt, TWatch& watch, int trial, int kind) {
        int connects = watch.Connects, disconnects = watch.Disconnects;
        if (kind < 2) {
            SelectDevice(bt, kind == 0 ? kRefusing : kTimingOut);
            bt.SetActive(true);
            std::uint32_t expected = kind == 0 ? WSAECONNREFUSED : WSAETIMEDOUT;
            if (bt.GetActive() || watch.LastDetail != expected || watch.Connects != connects)
                Fail(report, trial,
                     std::string(kinds[kind]) + ": open, or reported " +
                         std::to_string(watch.LastDetail) + " instead of " +
                         std::to_string(expected));
            return;
        }
        SelectDevice(bt, kEcho);
        auto peer = TTrialWorld::EchoPeer();
        int links = peer->Connections();
        bt.SetActive(true);
        SOCKET s = LastSocket();
        if (!bt.GetActive() || watch.Connects != connects + 1 ||
            !peer->WaitConnections(links + 1, 2000)) {
            Fail(report, trial, "the echo device did not connect");
            return;
        }
        if (kind == 2)
            peer->Drop();
        else
            bt.SetActive(false);
        if (!WaitClosed(s, 2000) || bt.GetActive())
            Fail(report, trial,
                 std::string(kinds[kind]) + ": the connection did not end within 2 s");
        if (watch.Disconnects != disconnects + 1)
            Fail(report, trial,
                 std::string(kinds[kind]) + ": " + std::to_string(watch.Disconnects - disconnects) +
                     " disconnects");
    };

    {
        // As many cycles first, up to 400, so that what Winsock and Wine make lazily,
        // once, exists before the count starts.
        TkvBT bt(nullptr);
        TWatch watch(bt);
        for (int warmUp = 0; warmUp < std::min(Count, 400); ++warmUp)
            cycle(bt, watch, -1, warmUp % 4);
    }
    const TProcessCount before;
    const int socketsBefore = SocketsMade();
    {
        TkvBT bt(nullptr);
        TWatch watch(bt);
        for (int trial = 0; trial < Count; ++trial) {
            int kind = static_cast<int>(rng() % 4);
            ++report.Counts[kinds[kind]];
            cycle(bt, watch, trial, kind);
        }
        FailUnlessMatched(report, Count, watch.Connects, watch.Disconnects);
        report.Counts["OnConnect"] = watch.Connects;
        report.Counts["OnDisconnect"] = watch.Disconnects;
    }
    report.Counts["sockets made"] = SocketsMade() - socketsBefore;
    if (std::string faults = LedgerFaults(); !faults.empty())
        Fail(report, Count, "sockets not closed exactly once:" + faults);
    before.Check(report, Count);
    return report;
}

// ---- close races

TTrialReport CloseRaces(int Count, unsigned Seed) {
    TTrialReport report{"close races", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    const char* kinds[] = {"application close while the peer drops", "close inside OnReceived",
                           "close while text waits for the terminal",
                           "destruction while data flows"};
    TForm form(nullptr);
    auto* memo = new TMemo(&form);
    memo->SetParent(&form);
    memo->SetBounds(0, 0, 200, 200);
    form.Show();

    for (int trial = 0; trial < Count; ++trial) {
        int kind = static_cast<int>(rng() % 4);
        ++report.Counts[kinds[kind]];
        std::string name = kinds[kind];
        ULONGLONG start = GetTickCount64();
        auto* bt = new TkvBT(nullptr);
        TWatch watch(*bt);
        if (kind == 2) {
            bt->SetTerminal(memo);
            bt->SetTerminalUsage(tuReceive);
        }
        SelectDevice(*bt, kEcho);
        auto peer = TTrialWorld::EchoPeer();
        int links = peer->Connections();
        bt->SetActive(true);
        SOCKET s = LastSocket();
        if (!bt->GetActive() || !peer->WaitConnections(links + 1, 2000)) {
            Fail(report, trial, name + ": did not connect");
            delete bt;
            continue;
        }
        switch (kind) {
        case 0: {
            std::thread dropper([&, pause = rng() % 3] {
                Sleep(pause);
                peer->Drop();
            });
            Sleep(rng() % 3);
            bt->SetActive(false);
            dropper.join();
            break;
        }
        case 1:
            watch.CloseOnReceive = bt;
            peer->Send("ping");
            break;
        case 2:
            peer->Send(std::string(32 * 1024, 'x'));
            Sleep(rng() % 20); // the terminal's hand-off holds text meanwhile; the close writes it
            bt->SetActive(false);
            break;
        case 3:
            peer->Send(std::string(256 * 1024, 'y'));
            PumpUntil([&] { return watch.ReceivedCount() > 0; }, 2000);
            Sleep(rng() % 5);
            delete bt;
            bt = nullptr;
            watch.Gone = true;
            break;
        }
        if (!WaitClosed(s, 2000))
            Fail(report, trial, name + ": the socket was not closed within 2 s");
        if (bt) {
            delete bt; // waits for the reader, which has closed the socket already
            watch.Gone = true;
        }
        PumpUntil([] { return false; }, 1); // room for a late call, should one come
        if (GetTickCount64() - start > 2000)
            Fail(report, trial,
                 name + ": took " + std::to_string(GetTickCount64() - start) + " ms");
        if (watch.Disconnects != 1)
            Fail(report, trial, name + ": " + std::to_string(watch.Disconnects) + " disconnects");
        if (ClosesOf(s) != 1)
            Fail(report, trial,
                 name + ": the socket was closed " + std::to_string(ClosesOf(s)) + " times");
        if (watch.LateCalls != 0)
            Fail(report, trial, name + ": a callback after the component was gone");
    }
    return report;
}

// ---- echo exchanges

TTrialReport EchoExchanges(int Count, unsigned Seed) {
    TTrialReport report{"echo exchanges", Count, {}, {}};
    TTrialWorld world;
    std::mt19937 rng(Seed);
    TkvBT bt(nullptr);
    TWatch watch(bt);
    SelectDevice(bt, kEcho);
    bt.SetActive(true);
    if (!bt.GetActive()) {
        Fail(report, 0, "the echo device did not connect");
        return report;
    }
    long long bytes = 0;
    int dropAt = static_cast<int>(rng() % std::min(Count, 1000));
    for (int trial = 0; trial < Count; ++trial) {
        std::string sent = Random(rng, 1 + rng() % 990);
        watch.ClearReceived();
        bt.SendData(reinterpret_cast<const std::uint8_t*>(sent.data()),
                    static_cast<std::uint32_t>(sent.size()));
        if (trial == dropAt) {
            // The link drops in the middle of this exchange: one clean disconnect, then a
            // reconnect that works at once, and the exchange again.
            int disconnects = watch.Disconnects;
            SOCKET s = LastSocket();
            TTrialWorld::EchoPeer()->Drop();
            if (!WaitClosed(s, 2000) || bt.GetActive() || watch.Disconnects != disconnects + 1)
                Fail(report, trial, "the dropped link did not end in one disconnect");
            ++report.Counts["links dropped"];
            bt.SetActive(true);
            if (!bt.GetActive()) {
                Fail(report, trial, "no reconnect after the drop");
                return report;
            }
            ++report.Counts["reconnects"];
            dropAt = trial + 1 + static_cast<int>(rng() % 1000);
            watch.ClearReceived();
            bt.SendData(reinterpret_cast<const std::uint8_t*>(sent.data()),
                        static_cast<std::uint32_t>(sent.size()));
        }
        if (!PumpUntil([&] { return watch.ReceivedCount() >= sent.size(); }, 5000) ||
            watch.Received() != sent)
            Fail(report, trial, std::to_string(sent.size()) + " bytes did not come back as sent");
        bytes += static_cast<long long>(sent.size());
    }
    report.Counts["bytes verified"] = bytes;
    bt.SetActive(false);
    FailUnlessMatched(report, Count, watch.Connects, watch.Disconnects);
    return report;
}

// ---- bad input

TTrialReport BadInput() {
    TTrialReport report{"bad input", 0, {}, {}};
    TTrialWorld world;
    auto check = [&](const std::string& Case, bool Held, const std::string& Otherwise) {
        ++report.Trials;
        ++report.Counts[Held ? "refused or a clear error" : "broken"];
        if (!Held)
            report.Failures.push_back(Case + ": " + Otherwise);
    };
    // An operation that must raise a clear error: an Exception whose message holds Part.
    // Error gets the message, or says that nothing was raised.
    std::string error;
    auto raises = [&error](auto Action, const String& Part) {
        try {
            Action();
        } catch (const Exception& e) {
            error = e.what();
            return e.Message().find(Part) != String::npos;
        }
        error = "nothing raised";
        return false;
    };

    TkvBT bt(nullptr);
    TWatch watch(bt);
    bt.Update();
    auto refusedOpen = [&](std::int32_t DeviceIndex, const std::string& Case) {
        bt.SetDeviceIndex(DeviceIndex);
        int sockets = SocketsMade(), fatals = watch.Fatals;
        bt.SetActive(true);
        check(Case, !bt.GetActive() && watch.Fatals == fatals + 1 && SocketsMade() == sockets,
              "it opened, made a socket or reported nothing");
    };
    refusedOpen(bt.DeviceCount(), "DeviceIndex = DeviceCount");
    refusedOpen(1000, "DeviceIndex 1000");
    SelectDevice(bt, kEcho);
    bt.GetBTDevice(bt.GetDeviceIndex())->Update();
    bt.GetBTDevice(bt.GetDeviceIndex())->SetServiceIndex(5);
    refusedOpen(bt.GetDeviceIndex(), "ServiceIndex beyond the services");

    bt.SetDeviceEnum(bt.GetDeviceEnum() - bteAllRadios);
    check("RadioIndex beyond the radios",
          raises([&] { bt.SetRadioIndex(3); }, L"3") && bt.DeviceCount() == 0,
          "no index error naming 3 (" + error + "), or devices listed");
    check("dialogs without a device", !bt.AuthenticateDevice(L"1234") && (bt.ConfigDialog(), true),
          "pairing reported success");
    bt.SetRadioIndex(0);

    int size = bt.GetBufferInSize();
    bt.SetBufferInSize(0);
    bt.SetBufferInSize(-1);
    check("BufferInSize 0 and -1", bt.GetBufferInSize() == size, "the size changed");

    try {
        kvsim::ParseWorld("[radio r]\naddress 00:00:00:00:00:01\nconnectable perhaps\n");
        check("a malformed world file", false, "accepted");
    } catch (const kvsim::EWorldFileError& e) {
        check("a malformed world file",
              e.Line() == 3 && std::string(e.what()).rfind("line 3: ", 0) == 0,
              std::string("the error does not name line 3: ") + e.what());
    }
    {
        TForm owner(nullptr);
        const char* text = "object Form1: TForm\n  object Box: TCheckBox\n    Caption = "
                           "'unterminated\n  end\nend\n";
        bool named = raises([&] { ReadForm(&owner, text, {}); }, L"line 3");
        check("a malformed form file", named && owner.ComponentCount() == 0,
              "the error does not name line 3 (" + error + "), or components were left");
    }

    BLUETOOTH_ADDRESS a;
    a.ullLong = kLongName;
    int longName = bt.IndexOfAddress(a);
    check("names of 248 characters without a terminating zero",
          bt.RadioCount() == 1 && bt.GetRadio(0)->NameFriendly == kLongText && longName >= 0 &&
              bt.GetBTDevice(longName)->NameFriendly == kLongText,
          "a name was cut or ran over");
    return report;
}

std::string Describe(const TTrialReport& Report, size_t MaxFailures) {
    std::ostringstream text;
    text << Report.Name << ": " << Report.Trials << " trials, "
         << (Report.Failures.empty() ? "every promise held"
                                     : std::to_string(Report.Failures.size()) + " FAILURES")
         << "\n";
    for (const auto& [kind, count] : Report.Counts)
        text << "  " << kind << ": " << count << "\n";
    for (size_t i = 0; i < Report.Failures.size() && i < MaxFailures; ++i)
        text << "  FAILED " << Report.Failures[i] << "\n";
    if (Report.Failures.size() > MaxFailures)
        text << "  ... and " << Report.Failures.size() - MaxFailures << " more\n";
    return text.str();
}

} // namespace kvtrials
