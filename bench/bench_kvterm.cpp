// kvterm: 16 MiB piped through an echo peer, as a script pipes it
//   kvterm connect "Echo Box" --idle-exit 200 --world W < in.bin > out.bin
// comes back whole; its rate from the connect to the last byte written. Reference: a bare
// send loop of the same bytes on the same kind of simulated link to an echo peer, with a
// second thread reading the echo back.
#include "bench/bench_support.h"

#include "toolkit/application.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kvbench;

namespace {

const size_t kSize = 16 << 20;

String TempFile(const wchar_t* Name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return String(folder) + L"bench_kvterm_" + Name;
}

// kvterm.exe of the same build: build/kvterm beside build/bench.
String KvtermPath() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    String path = self;
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"..\\kvterm\\kvterm.exe";
}

std::uint64_t FileSize(const String& Path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Contains(const String& Path, const std::string& Text) {
    std::ifstream in(Path.c_str(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    return content.find(Text) != std::string::npos;
}

struct TResult {
    double TransferMs = 0; // from the connect to the last byte back
    double TotalMs = 0;    // the whole run: start, connect, transfer, idle end
    bool Whole = false;
};

TResult RunKvterm(const std::vector<char>& Data) {
    const String in = TempFile(L"in.bin"), out = TempFile(L"out.bin"), err = TempFile(L"err.txt"),
                 world = TempFile(L"echo.world");
    std::ofstream(in.c_str(), std::ios::binary).write(Data.data(), std::streamsize(Data.size()));
    std::ofstream(world.c_str(), std::ios::binary)
        << "[radio r]\naddress 00:BE:0C:00:0A:01\n[device echo]\nname \"Echo Box\"\n"
           "address 00:BE:0C:00:00:02\nradios r\nremembered yes\n"
           "service class=0x1101 channel=1 name=\"Serial Port\" peer=echo\n";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE input =
        CreateFileW(in.c_str(), GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE output =
        CreateFileW(out.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE errors =
        CreateFileW(err.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr);
    String commandLine = L"\"" + KvtermPath() +
                         L"\" connect \"Echo Box\" --idle-exit 200 --world \"" + world + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    PROCESS_INFORMATION process{};
    TResult result;
    const double start = ClockMs();
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        double connected = 0, full = 0;
        while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
            if (!connected && Contains(err, "kvterm: connected to"))
                connected = ClockMs();
            if (connected && !full && FileSize(out) >= kSize)
                full = ClockMs();
        }
        const double end = ClockMs();
        if (!full)
            full = end;
        result.TransferMs = full - (connected ? connected : start);
        result.TotalMs = end - start;
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        std::ifstream back(out.c_str(), std::ios::binary);
        std::vector<char> echoed((std::istreambuf_iterator<char>(back)), {});
        result.Whole = code == 0 && echoed == Data;
    }
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(errors);
    for (const String& file : {in, out, err, world})
        DeleteFileW(file.c_str());
    return result;
}

// The same bytes through a bare RFCOMM socket of the simulated stack to its echo peer.
TResult RunBare(const std::vector<char>& Data) {
    TResult result;
    SOCKET link = ConnectBare(kEchoDevice);
    if (link == INVALID_SOCKET)
        return result;
    THash expected, received;
    expected.Add(Data.data(), Data.size());
    size_t count = 0;
    const double start = ClockMs();
    std::thread reader([&] {
        std::vector<char> buffer(64 * 1024);
        while (count < Data.size()) {
            int got = recv(link, buffer.data(), static_cast<int>(buffer.size()), 0);
            if (got <= 0)
                break;
            received.Add(buffer.data(), static_cast<size_t>(got));
            count += static_cast<size_t>(got);
        }
    });
    SendAll(link, Data.data(), Data.size());
    reader.join();
    result.TransferMs = result.TotalMs = ClockMs() - start;
    result.Whole = count == Data.size() && received.Value() == expected.Value();
    closesocket(link);
    return result;
}

double MBps(double Ms) {
    return Ms > 0 ? static_cast<double>(kSize) / 1e6 / (Ms / 1000) : 0;
}

// The median of the runs, by their transfer time; whole only when every run was.
TResult Median(std::vector<TResult> Runs) {
    std::sort(Runs.begin(), Runs.end(),
              [](const TResult& a, const TResult& b) { return a.TransferMs < b.TransferMs; });
    TResult median = Runs[Runs.size() / 2];
    for (const TResult& r : Runs)
        median.Whole = median.Whole && r.Whole;
    return median;
}

} // namespace

int main() {
    TApplication app;
    TBenchRun run;
    std::vector<char> data(kSize);
    std::mt19937 random(16);
    for (char& b : data)
        b = static_cast<char>(random());
    const int kRuns = 5;
    std::vector<TResult> bareRuns, ourRuns;
    for (int i = 0; i < kRuns; ++i) {
        bareRuns.push_back(RunBare(data));
        ourRuns.push_back(RunKvterm(data));
    }
    const TResult bare = Median(bareRuns), ours = Median(ourRuns);
    PrintTable("kvterm: 16 MiB piped through an echo peer", "MB/s, 1 MB = 10^6 bytes",
               {{"kvterm connect, file in, file out", MBps(ours.TransferMs), MBps(bare.TransferMs),
                 "comes back whole", ours.Whole && bare.Whole,
                 std::string(ours.Whole ? "every byte came back in order" : "NOT whole") +
                     ", median of " + std::to_string(kRuns) + " runs each; connect to last byte " +
                     Fixed(ours.TransferMs, 0) + " ms, whole run " + Fixed(ours.TotalMs, 0) +
                     " ms (Wine start, connect, --idle-exit 200)"}});
    return 0;
}
