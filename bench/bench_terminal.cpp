// The demo form's terminal under a stream. The form is read from its own form file and
// connected, as at a click on "Connect", to a peer that sends text lines, or data without
// a line break (values separated by spaces), at 11,520 bytes/s (a 115,200-baud module)
// and at 272,000 bytes/s (the fastest link). Meanwhile a probe posts a stamped message to
// the form every 20 ms and the form's message chain notes how late each one is handled;
// an OnReceived handler hashes what the reader delivers; memory is sampled every second.
// At the end every byte must have reached OnReceived, and the text before the terminal's
// caret must end with the last bytes sent.
//
// First, the costs of Wine's edit control that the terminal's writes are shaped around:
// one insertion, and one cut of the oldest text, for each kind of data.
// Usage: bench_terminal [SECONDS]   (default 60, for each stream)
#include "bench/bench_support.h"

#include "demo/Unit1.h"
#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

using namespace kvbench;

namespace {

const UINT WM_PROBE = WM_APP + 77;

// The data a device sends, generated piece by piece: lines of text, numbered, or what a
// sensor prints, values separated by spaces and never a line break. The last 32 bytes of
// either are unique within the text a terminal keeps.
class TData {
public:
    explicit TData(bool Lines) : fLines(Lines) {}
    std::string Next() {
        char text[80];
        if (fLines)
            std::snprintf(text, sizeof text, "line %010llu %s\r\n", fCount++,
                          "..............................................");
        else {
            const unsigned long long value = fCount++ * 7919 % 10000;
            std::snprintf(text, sizeof text, "%02llu.%02llu ", value / 100, value % 100);
        }
        return text;
    }

private:
    bool fLines;
    unsigned long long fCount = 0;
};

// Stands in front of the form's own message handling and notes how late each probe is.
class TProbe {
public:
    explicit TProbe(TForm1& Form) : fForm(Form), fSaved(Form.GetWindowProc()) {
        Form.SetWindowProc(TWndMethod::Bind<&TProbe::WindowProc>(this));
    }
    ~TProbe() { fForm.SetWindowProc(fSaved); }
    // The delays noted so far, and a fresh start.
    std::vector<double> Take() { return std::exchange(fDelays, {}); }

private:
    void WindowProc(TMessage& Message) {
        if (Message.Msg == WM_PROBE) {
            double posted;
            std::memcpy(&posted, &Message.LParam, sizeof posted);
            fDelays.push_back(ClockMs() - posted);
            return;
        }
        fSaved(Message);
    }

    TForm1& fForm;
    TWndMethod fSaved;
    std::vector<double> fDelays;
};

// Posts a stamped message to a window every 20 ms while it lives.
class TPoster {
public:
    explicit TPoster(HWND Window)
        : fThread([this, Window] {
              while (fPosting) {
                  double now = ClockMs();
                  LPARAM stamp;
                  std::memcpy(&stamp, &now, sizeof stamp);
                  PostMessageW(Window, WM_PROBE, 0, stamp);
                  Sleep(20);
              }
          }) {}
    ~TPoster() {
        fPosting = false;
        fThread.join();
    }

private:
    std::atomic<bool> fPosting{true};
    std::thread fThread;
};

// What the reader delivers to OnReceived.
struct TDelivered {
    std::mutex Lock;
    THash Hash;
    std::atomic<std::uint64_t> Bytes{0};
    std::atomic<double> LastAt{0};
    void Received(TObject*, void* Buffer, std::uint32_t Len) {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Hash.Add(Buffer, Len);
        }
        LastAt = ClockMs();
        Bytes += Len;
    }
};

// The text before the caret of an edit control.
String BeforeCaret(HWND Edit) {
    DWORD caret = 0;
    SendMessageW(Edit, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&caret));
    int length = GetWindowTextLengthW(Edit);
    String text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(Edit, text.data(), length + 1);
    text.resize(std::min<size_t>(caret, static_cast<size_t>(length)));
    return text;
}

// One stream into the demo's terminal; its rows.
std::vector<TRow> Stream(TBenchRun& Run, bool Lines, double BytesPerMs, double Seconds) {
    auto* form = new TForm1(nullptr);
    form->Show();
    auto probe = std::make_unique<TProbe>(*form);
    TDelivered delivered;
    form->kvBT1->SetOnReceived(TOnReceived::Bind<&TDelivered::Received>(&delivered));
    if (!SelectDevice(*form->kvBT1, kBenchPeerDevice)) {
        std::fprintf(stderr, "bench_terminal: the bench peer is not listed\n");
        std::exit(1);
    }
    form->kvBT1->SetActive(true); // as the "Connect" box does; the form then sends AT
    SOCKET link = Run.Peer().Accept();
    HWND window = form->GetHandle();
    {
        // The reference: the same probes while the link is quiet.
        TPoster poster(window);
        PumpUntil([] { return false; }, 5000);
    }
    const std::vector<double> quiet = probe->Take();
    const std::uint64_t privateAtStart = ProcessPrivateBytes();
    std::uint64_t privateMost = privateAtStart;

    std::atomic<bool> streaming{true}, writerDone{false};
    std::string last; // the last 32 bytes sent
    std::uint64_t sent = 0;
    THash sentHash;
    const double start = ClockMs();
    std::thread writer([&] {
        TData data(Lines);
        std::string due;
        while (streaming) {
            // What is due by now goes in one write, as a serial link delivers it.
            while (static_cast<double>(sent + due.size()) < (ClockMs() - start) * BytesPerMs)
                due += data.Next();
            if (!due.empty()) {
                if (!SendAll(link, due.data(), due.size()))
                    break;
                sentHash.Add(due.data(), due.size());
                sent += due.size();
                last = (last + due).substr(std::max<size_t>(last.size() + due.size(), 32) - 32);
                due.clear();
            }
            Sleep(2);
        }
        writerDone = true;
    });
    auto poster = std::make_unique<TPoster>(window);
    double nextSample = start + 1000;
    while (ClockMs() - start < Seconds * 1000) {
        PumpOnce();
        if (ClockMs() >= nextSample) {
            privateMost = std::max(privateMost, ProcessPrivateBytes());
            nextSample += 1000;
        }
    }
    streaming = false;
    PumpUntil([&] { return writerDone.load(); }, 600000);
    writer.join();
    poster.reset();
    const double streamedMs = ClockMs() - start;

    // Every byte sent reaches OnReceived, and the terminal shows the tail.
    const bool whole = PumpUntil([&] { return delivered.Bytes == sent; }, 60000);
    const double deliveredMs = delivered.LastAt - start;
    HWND memo = form->Memo1->GetHandle();
    const String tail(last.begin(), last.end());
    double caughtUp = ClockMs();
    const bool shown = PumpUntil([&] { return BeforeCaret(memo).ends_with(tail); }, 30000);
    caughtUp = ClockMs() - caughtUp;
    privateMost = std::max(privateMost, ProcessPrivateBytes());
    const int memoLength = GetWindowTextLengthW(memo);
    form->kvBT1->SetActive(false);
    closesocket(link);
    const std::vector<double> delays = probe->Take();
    probe.reset(); // before its form goes
    delete form;

    const std::string name = std::string(Lines ? "lines" : "no line break") + ", " +
                             std::to_string(static_cast<int>(BytesPerMs * 1000)) + " B/s: ";
    const bool fast = BytesPerMs > 100;
    const double worst = Percentile(delays, 100), p99 = Percentile(delays, 99);
    const double worstBound = !Lines && fast ? 250 : 100;
    std::vector<TRow> rows;
    rows.push_back({name + "worst delay (ms)", worst, Percentile(quiet, 100),
                    "<= " + Fixed(worstBound, 0) + " ms", worst <= worstBound,
                    std::to_string(delays.size()) + " probes handled, one every 20 ms for " +
                        Fixed(streamedMs / 1000, 1) +
                        " s; reference: the same probes for 5 s before, the link quiet"});
    rows.push_back({name + "p99 delay (ms)", p99, Percentile(quiet, 99), "<= 100 ms", p99 <= 100,
                    "median " + Fixed(Percentile(delays, 50), 2) + " ms, quiet " +
                        Fixed(Percentile(quiet, 50), 2) + " ms"});
    const bool equal = whole && delivered.Hash.Value() == sentHash.Value();
    const double rate = static_cast<double>(sent) / std::max(deliveredMs, streamedMs);
    rows.push_back({name + "stream rate (B/ms)", rate, BytesPerMs, ">= 0.95 x offered",
                    equal && rate >= 0.95 * BytesPerMs,
                    std::to_string(sent) + " bytes sent; " +
                        (equal ? "every byte reached OnReceived in order (hash equal)"
                               : "OnReceived did NOT get the bytes sent")});
    const double growthMB = static_cast<double>(privateMost - privateAtStart) / 1e6;
    rows.push_back({name + "private memory growth (MB)", growthMB, static_cast<double>(sent) / 1e6,
                    "bounded", growthMB < 64,
                    "reference: the bytes streamed; the terminal holds " +
                        std::to_string(memoLength) + " characters"});
    rows.push_back({name + "catch-up (ms)", caughtUp, 0, "last bytes shown", shown,
                    shown ? "the text before the caret ends with the last bytes sent"
                          : "the last bytes sent are NOT the last text shown"});
    return rows;
}

// The median time of Operation on the demo's memo, set up afresh by Prepare each time.
template <class P, class O> double MedianMs(P Prepare, O Operation) {
    std::vector<double> times;
    for (int i = 0; i < 7; ++i) {
        Prepare();
        for (int k = 0; k < 3; ++k)
            PumpOnce(); // painted before
        const double start = ClockMs();
        Operation();
        times.push_back(ClockMs() - start);
    }
    return Percentile(times, 50);
}

std::vector<TRow> EditCosts() {
    auto* form = new TForm1(nullptr);
    form->Show();
    form->Memo1->SetEnabled(true);
    HWND memo = form->Memo1->GetHandle();
    auto text = [](bool Lines, size_t Length) {
        TData data(Lines);
        std::string bytes;
        while (bytes.size() < Length)
            bytes += data.Next();
        bytes.resize(Length);
        return String(bytes.begin(), bytes.end());
    };
    // Fills the memo with Length characters, put in as the terminal does, caret at the end.
    auto fill = [&](bool Lines, size_t Length) {
        const String all = text(Lines, Length);
        SetWindowTextW(memo, L"");
        for (size_t at = 0; at < all.size(); at += 512) {
            const String step = all.substr(at, 512);
            SendMessageW(memo, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(step.c_str()));
        }
    };
    auto insert = [&](bool Lines, size_t Length) {
        const String step = text(Lines, Length);
        return MedianMs(
            [&] { fill(Lines, 8192); },
            [&] { SendMessageW(memo, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(step.c_str())); });
    };
    // Cuts the oldest text at a line start so that Rest characters remain.
    auto cut = [&](bool Lines, size_t Rest) {
        return MedianMs([&] { fill(Lines, Rest + 2048); },
                        [&] {
                            LRESULT line = SendMessageW(memo, EM_LINEFROMCHAR, 2048, 0);
                            LRESULT at =
                                SendMessageW(memo, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
                            SendMessageW(memo, EM_SETSEL, 0, at);
                            SendMessageW(memo, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L""));
                        });
    };
    std::vector<TRow> rows;
    auto row = [&](const std::string& Case, double Ms, const std::string& Note) {
        rows.push_back({Case, Ms, 0, "-", true, Note});
    };
    row("insert 512 chars of lines", insert(true, 512), "one step of text lines");
    row("insert 2048 chars of lines", insert(true, 2048), "four steps' worth in one message");
    row("insert 512 chars, no line break", insert(false, 512),
        "one step of data without a line break");
    row("insert 2048 chars, no line break", insert(false, 2048),
        "four steps' worth in one message: a new line costs about its square");
    row("cut after a line break, 8192 remain", cut(true, 8192), "the trim of text lines");
    row("cut in a line, 8192 of it remain", cut(false, 8192),
        "the rest of a cut line is laid out anew");
    row("cut in a line, 4096 of it remain", cut(false, 4096),
        "the trim of data without a line break");
    delete form;
    return rows;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    TApplication app;
    TBenchRun run;
    RegisterKvBtClasses();
    RegisterKvCommBoxClasses();
    PrintTable("Wine's edit control: what one message to the demo's memo costs", "ms, median of 7",
               EditCosts());
    for (double rate : {11.52, 272.0}) {
        std::vector<TRow> rows;
        for (bool lines : {true, false}) {
            std::vector<TRow> more = Stream(run, lines, rate, seconds);
            rows.insert(rows.end(), more.begin(), more.end());
        }
        PrintTable("Target 4: the demo terminal at " +
                       std::to_string(static_cast<int>(rate * 1000)) + " bytes/s for " +
                       Fixed(seconds, 0) + " s each",
                   "as named per row", rows);
    }
    return 0;
}
