// The reads a protocol needs: ReadAll bounded by the count the caller sized its buffer
// from, up to N bytes with a time limit, and the bytes up to a delimiter with a time
// limit, on the main thread and in a reader-thread handler.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/forms.h"

#include "sim_link_fixture.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const BTH_ADDR kSilent = 0x00DD00000001; // reads everything, answers what the test sends
const BTH_ADDR kModem = 0x00DD00000002;

kvsim::TWorld ReadingWorld() {
    kvsim::TPeer silent, modem;
    silent.Kind = kvsim::TPeerKind::Silent;
    modem.Kind = kvsim::TPeerKind::Modem;
    return kvtrials::SerialWorld(0x00DD0000A001,
                                 {kvtrials::SerialDevice(L"Silent", kSilent, silent),
                                  kvtrials::SerialDevice(L"Modem", kModem, modem)});
}

class Reading : public TSimLinkTest {
protected:
    kvsim::TWorld World() override { return ReadingWorld(); }
    // The bytes pending, as another thread sees them: this thread's noted count stays.
    std::uint32_t PendingElsewhere() {
        std::uint32_t pending = 0;
        std::thread([&] { pending = bt->ReadyForRead(); }).join();
        return pending;
    }
};

TEST_F(Reading, ReadAllTakesNoMoreThanTheCountItsBufferWasSizedFrom) {
    Open(kSilent); // no receivers: the bytes wait in the socket
    Peer(kSilent)->Send("12345");
    ASSERT_TRUE(PumpUntil([&] { return PendingElsewhere() == 5; }));
    const std::uint32_t n = bt->ReadyForRead();
    ASSERT_EQ(n, 5u);
    // Bytes arrive between the count and the read.
    Peer(kSilent)->Send("6789");
    ASSERT_TRUE(PumpUntil([&] { return PendingElsewhere() == 9; }));
    std::vector<char> buffer(n + 16, '#');
    bt->ReadAll(buffer.data());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + n), "12345");
    EXPECT_EQ(std::string(buffer.begin() + n, buffer.end()), std::string(16, '#'));
    // The count is used up: without a new one ReadAll reads nothing.
    bt->ReadAll(buffer.data());
    EXPECT_EQ(buffer[0], '1');
    EXPECT_EQ(bt->ReadyForRead(), 4u);
    EXPECT_EQ(bt->ReadAll(buffer.data(), 2), 2u); // the bounded form
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 2), "67");
    EXPECT_EQ(bt->ReadString(), L"89");
    EXPECT_EQ(bt->TotalReceived(), 9u);
}

// Runs a read either on the main thread or in a reader-thread OnReceived (started by a
// first byte from the peer, which the handler takes itself).
struct TReadPlace {
    TkvBT* Bt;
    std::function<void()> Read;
    std::atomic<bool> Done{false};
    void Received(TObject*, void*, std::uint32_t) {
        if (auto read = std::exchange(Read, nullptr)) {
            read();
            Bt->SetOnReceived(TOnReceived{}); // what the read left stays in the socket
            Done = true;
        }
    }
};

TEST_F(Reading, BoundedReadsOnTheMainThreadAndInAReaderHandler) {
    struct TCase {
        const char* Name;
        std::function<void(kvsim::TPeerServer&)> Peer; // what the device does meanwhile
        std::function<AnsiString(TkvBT&)> Read;
        AnsiString Expected;
        AnsiString Left; // what stays for the next read
    };
    const TCase cases[] = {
        {"ReadUntil, the answer in time", [](kvsim::TPeerServer& p) { p.Send("\r\nOK\r\nmore"); },
         [](TkvBT& b) { return b.ReadUntil("OK\r\n", 5000); }, "\r\nOK\r\n", "more"},
        {"ReadUntil, the delimiter split across two receives",
         [](kvsim::TPeerServer& p) {
             p.Send("\r\nO");
             Sleep(100);
             p.Send("K\r\n+");
         },
         [](TkvBT& b) { return b.ReadUntil("OK\r\n", 5000); }, "\r\nOK\r\n", "+"},
        {"ReadUntil, the answer late: nothing taken",
         [](kvsim::TPeerServer& p) { p.Send("\r\nBUSY"); },
         [](TkvBT& b) { return b.ReadUntil("OK\r\n", 300); }, "", "\r\nBUSY"},
        {"ReadUpTo, as soon as bytes are there",
         [](kvsim::TPeerServer& p) {
             Sleep(100);
             p.Send("abc");
         },
         [](TkvBT& b) { return b.ReadUpTo(2, 5000); }, "ab", "c"},
        {"ReadUpTo, nothing within the limit", [](kvsim::TPeerServer&) {},
         [](TkvBT& b) { return b.ReadUpTo(10, 200); }, "", ""},
    };
    for (bool inHandler : {false, true})
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (inHandler ? " (reader handler)" : " (main)"));
            Open(kSilent);
            AnsiString got;
            TReadPlace place{bt, nullptr};
            auto read = [&] {
                std::thread device([&] { c.Peer(*Peer(kSilent)); });
                got = c.Read(*bt);
                device.join();
            };
            if (inHandler) {
                place.Read = read;
                bt->SetOnReceived(TOnReceived::Bind<&TReadPlace::Received>(&place));
                Peer(kSilent)->Send("!"); // the handler's block
                ASSERT_TRUE(PumpUntil([&] { return place.Done.load(); }));
            } else {
                read();
            }
            EXPECT_EQ(got, c.Expected);
            if (!c.Left.empty()) {
                EXPECT_TRUE(PumpUntil([&] { return PendingElsewhere() == c.Left.size(); }));
                EXPECT_EQ(bt->ReadString(), AnsiToString(c.Left));
            }
            bt->SetActive(false);
        }
}

TEST_F(Reading, AReadThatWaitsEndsWithTheLinkAndTheModemAnswersInTime) {
    Open(kModem);
    bt->SendString("AT\r");
    EXPECT_EQ(bt->ReadUntil("OK\r\n", 5000), "\r\nOK\r\n");
    // The link ends while reads wait: each returns at once, empty.
    std::thread closer([&] {
        Sleep(200);
        Peer(kModem)->Close();
    });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(bt->ReadUntil("NEVER", 20000), "");
    EXPECT_LT(GetTickCount64() - start, 5000u);
    closer.join();
    EXPECT_TRUE(PumpUntil([&] { return !bt->GetActive(); }));
    EXPECT_EQ(bt->ReadUpTo(10, 20000), ""); // closed: at once
}

TEST_F(Reading, ReadWaitsServingTheWindowAndReturnsOnTheClose) {
    struct TWindow : TForm {
        std::atomic<int> Pokes{0};
        TWndMethod Own;
        TWindow() : TForm(nullptr) {
            Own = GetWindowProc();
            SetWindowProc(TWndMethod::Bind<&TWindow::Proc>(this));
        }
        void Proc(TMessage& M) { M.Msg == WM_APP + 5 ? void(++Pokes) : Own(M); }
    } window;
    const HWND handle = window.GetHandle();
    Open(kSilent);
    std::thread device([&] {
        PostMessageW(handle, WM_APP + 5, 0, 0);
        Sleep(200);
        Peer(kSilent)->Send("late");
    });
    char buffer[16] = {};
    bt->Read(buffer, sizeof buffer); // waits for the bytes, serving the window
    device.join();
    EXPECT_STREQ(buffer, "late");
    EXPECT_EQ(window.Pokes, 1);
    // A close from a message handled during the wait ends it.
    std::thread closer([&] {
        Sleep(200);
        Peer(kSilent)->Close();
    });
    bt->Read(buffer, sizeof buffer);
    closer.join();
    EXPECT_TRUE(PumpUntil([&] { return !bt->GetActive(); }));
}

} // namespace
