// The demo form's terminal under a stream at the fastest link's rate (272 KB/s): the form
// is read from its own form file and connected, as at a click on "Connect", to a peer
// that sends lines of text. Meanwhile a probe posts a stamped message to the form every
// 20 ms and the form's message chain notes how late each one is handled; memory is
// sampled every second. At the end the text before the terminal's caret must end with
// the last bytes sent.
// Usage: bench_terminal [SECONDS]   (default 60)
#include "bench/bench_support.h"

#include "demo/Unit1.h"
#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace kvbench;

namespace {

const double kRateBytesPerMs = 272.0; // 272 KB/s
const UINT WM_PROBE = WM_APP + 77;

// A line of text per 64 bytes, numbered, so that the tail of the stream is unique.
std::string Line(std::uint64_t n) {
    char text[65];
    std::snprintf(text, sizeof text,
                  "line %010llu ..............................................\r\n",
                  static_cast<unsigned long long>(n));
    return std::string(text, 64);
}

// Stands in front of the form's own message handling and notes how late each probe is.
class TProbe {
public:
    explicit TProbe(TForm1& Form) : fForm(Form), fSaved(Form.GetWindowProc()) {
        Form.SetWindowProc(TWndMethod::Bind<&TProbe::WindowProc>(this));
    }
    ~TProbe() { fForm.SetWindowProc(fSaved); }
    double WorstMs() const { return fWorst; }
    int Handled() const { return fHandled; }

private:
    void WindowProc(TMessage& Message) {
        if (Message.Msg == WM_PROBE) {
            double posted;
            std::memcpy(&posted, &Message.LParam, sizeof posted);
            fWorst = std::max(fWorst, NowMs() - posted);
            ++fHandled;
            return;
        }
        fSaved(Message);
    }

    TForm1& fForm;
    TWndMethod fSaved;
    double fWorst = 0;
    int fHandled = 0;
};

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    TApplication app;
    TBenchRun run;
    RegisterKvBtClasses();
    RegisterKvCommBoxClasses();
    auto* form = new TForm1(nullptr);
    form->Show();
    TProbe probe(*form);
    if (!SelectDevice(*form->kvBT1, kBenchPeerDevice)) {
        std::fprintf(stderr, "bench_terminal: the bench peer is not listed\n");
        return 1;
    }
    form->kvBT1->SetActive(true); // as the "Connect" box does; the form then sends AT
    SOCKET link = run.Peer().Accept();
    const std::uint64_t privateAtStart = ProcessPrivateBytes();
    std::uint64_t privateMost = privateAtStart;

    std::atomic<bool> streaming{true};
    std::string last; // the last line sent
    std::uint64_t sent = 0;
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        struct TDone {
            std::atomic<bool>& Flag;
            ~TDone() { Flag = true; }
        } done{writerDone};
        double start = NowMs();
        for (std::uint64_t n = 0; streaming; ++n) {
            std::string line = Line(n);
            if (!SendAll(link, line.data(), line.size()))
                break;
            sent += line.size();
            last = line;
            double due = start + static_cast<double>(sent) / kRateBytesPerMs;
            double wait = due - NowMs();
            if (wait > 1)
                Sleep(static_cast<DWORD>(wait));
        }
    });
    HWND window = form->GetHandle();
    std::thread poster([&] {
        while (streaming) {
            double now = NowMs();
            LPARAM stamp;
            std::memcpy(&stamp, &now, sizeof stamp);
            PostMessageW(window, WM_PROBE, 0, stamp);
            Sleep(20);
        }
    });

    double start = NowMs(), nextSample = start + 1000;
    while (NowMs() - start < seconds * 1000) {
        PumpOnce();
        if (NowMs() >= nextSample) {
            privateMost = std::max(privateMost, ProcessPrivateBytes());
            nextSample += 1000;
        }
    }
    streaming = false;
    // The writer may wait for the reader, and the reader for this thread: pump meanwhile.
    PumpUntil([&] { return writerDone.load(); }, 600000);
    writer.join();
    poster.join();
    const double streamedMs = NowMs() - start;

    // Every byte sent is shown once the reader has caught up: wait for the tail.
    HWND memo = form->Memo1->GetHandle();
    auto beforeCaret = [&] {
        DWORD caret = 0;
        SendMessageW(memo, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&caret));
        int length = GetWindowTextLengthW(memo);
        String text(static_cast<size_t>(length) + 1, L'\0');
        GetWindowTextW(memo, text.data(), length + 1);
        text.resize(std::min<size_t>(caret, static_cast<size_t>(length)));
        return text;
    };
    const String tail(last.begin(), last.end());
    double caughtUp = NowMs();
    bool shown = PumpUntil([&] { return beforeCaret().ends_with(tail); }, 30000);
    caughtUp = NowMs() - caughtUp;
    privateMost = std::max(privateMost, ProcessPrivateBytes());
    PumpUntil([] { return false; }, 200); // the reader trims right after its last insertion
    const int memoLength = GetWindowTextLengthW(memo);

    form->kvBT1->SetActive(false);
    closesocket(link);

    std::vector<TRow> rows;
    rows.push_back({"worst delay of a posted message", probe.WorstMs(), 100, "< 100 ms",
                    probe.WorstMs() < 100,
                    std::to_string(probe.Handled()) + " probes handled, one every 20 ms for " +
                        Fixed(streamedMs / 1000, 1) + " s"});
    rows.push_back({"stream rate", static_cast<double>(sent) / streamedMs, kRateBytesPerMs,
                    "272 KB/s", true, std::to_string(sent) + " bytes sent in lines of 64"});
    const double growthMB = static_cast<double>(privateMost - privateAtStart) / 1e6;
    rows.push_back({"private memory growth (MB)", growthMB, static_cast<double>(sent) / 1e6,
                    "bounded", growthMB < 64,
                    "reference: the bytes streamed; the terminal holds " +
                        std::to_string(memoLength) + " characters"});
    rows.push_back({"catch-up after the stream (ms)", caughtUp, 0, "last bytes shown", shown,
                    shown ? "the text before the caret ends with the last line sent"
                          : "the last line sent is NOT the last text shown"});
    PrintTable("Target 4: the demo terminal at 272 KB/s", "as named per row", rows);

    delete form;
    return 0;
}
