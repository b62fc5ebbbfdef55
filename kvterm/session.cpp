#include "kvterm/session.h"

#include "components/kvbt.h"
#include "components/kvlogfile.h"
#include "components/kvsysutils.h"
#include "kvterm/console.h"
#include "kvterm/devices.h"
#include "kvterm/input.h"
#include "kvterm/output.h"
#include "toolkit/application.h"
#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

const size_t kSendChunk = 256 * 1024;
const DWORD kFirstRetryMs = 1000;
const DWORD kLastRetryMs = 30000;

class TSession;

// Requests to end the session: the user's Ctrl+C, the console closing, the escape key.
// gStop is set by a request, and the main thread looks at it after each of its waits;
// gSession is the session that runs, main thread only.
const HANDLE gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
TSession* gSession = nullptr;

bool StopRequested() {
    return WaitForSingleObject(gStop, 0) == WAIT_OBJECT_0;
}

// Any thread but the main one. Besides setting gStop, a synchronized call ends what the
// main thread may wait in: an open of a device that does not answer, a send to one that
// takes nothing more (both serve synchronized calls while they wait).
void RequestStop();

BOOL WINAPI OnConsoleControl(DWORD) {
    RequestStop(); // Ctrl+C and Ctrl+Break, and the console closing
    return TRUE;
}

// An auto-reset event for the lifetime of its owner.
class TWakeEvent {
public:
    TWakeEvent() : fHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~TWakeEvent() { CloseHandle(fHandle); }
    TWakeEvent(const TWakeEvent&) = delete;
    TWakeEvent& operator=(const TWakeEvent&) = delete;
    HANDLE Get() const { return fHandle; }
    void Set() { SetEvent(fHandle); }

private:
    HANDLE fHandle;
};

void Say(const std::string& Text) {
    std::fprintf(stderr, "kvterm: %s\n", Text.c_str());
}

class TSession {
public:
    explicit TSession(const TOptions& Options);
    ~TSession();
    TExitCode Run();
    // Ends an open or a send that waits: the link closes, and Run ends with ecDone.
    void Stop() { fBt.SetActive(false); }

private:
    enum class TEnd { Stopped, Idle, LinkEnded, OutputFailed };

    // Looks the services up when none are known, chooses the service once, and connects.
    // False with the reason when no connection was made (an empty reason: stopped).
    bool Open(std::string& Failure);
    TEnd Talk();
    void Send(std::string Bytes);
    // Waits, serving messages; false when a stop came meanwhile.
    bool Pause(DWORD Ms);
    // On standard error, and in the capture.
    void Tell(const std::string& Text);
    std::string OutputFailure();

    void Received(TObject*, void* Buffer, std::uint32_t Count);
    void Disconnected(TObject*);

    const TOptions& fOptions;
    const bool fConsole;
    TkvLogFile fLog{nullptr};
    std::optional<TCapture> fCapture;
    TOutput fOutput;
    std::optional<TEolTranslator> fEol;
    std::shared_ptr<TInputQueue> fInput = std::make_shared<TInputQueue>();
    TWakeEvent fWake;             // the link ended, or the output failed
    std::atomic<size_t> fLost{0}; // input that the last link did not take
    std::atomic<ULONGLONG> fLastActivity{0};
    bool fServiceChosen = false;
    // Last, so that it goes first: its destruction waits for its reader, whose handlers
    // use the members above.
    TkvBT fBt{nullptr};
    TkvBTDevice* fDevice = nullptr;
};

TSession::TSession(const TOptions& Options)
    : fOptions(Options), fConsole(EnterSessionModes()),
      fOutput(GetStdHandle(STD_OUTPUT_HANDLE), Options.Hex, Options.Echo) {
    if (!Options.LogFile.empty()) {
        try {
            fLog.SetFileName(Options.LogFile);
        } catch (const Exception& e) {
            throw EExit(ecUsage, e.what());
        }
        fCapture.emplace(fLog);
        fBt.SetLog(&fLog);
    }
    if (!Options.Eol.empty() && !fConsole)
        fEol.emplace(Options.Eol);
    fBt.Update();
    fBt.SetDeviceIndex(FindDevice(fBt, Options.Device));
    fDevice = fBt.GetBTDevice(fBt.GetDeviceIndex());
    fBt.SetConnectTimeout(Options.TimeoutMs);
    fBt.SetOnReceived(TOnReceived::Bind<&TSession::Received>(this));
    fBt.SetOnDisconnect(TNotifyEvent::Bind<&TSession::Disconnected>(this));
    gSession = this;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TSession::~TSession() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gSession = nullptr;
}

TExitCode TSession::Run() {
    if (fConsole)
        Tell("keys go to the device as they are typed; " + fOptions.EscapeName + " ends");
    StartInput(fInput, fConsole,
               TKeyTranslator(fOptions.Eol.empty() ? "\r" : fOptions.Eol, fOptions.EscapeChar),
               RequestStop);
    DWORD next = kFirstRetryMs; // the pause after the next failure
    for (int attempt = 1;; ++attempt) {
        if (attempt > 1)
            Tell("connecting again, attempt " + std::to_string(attempt));
        std::string failure;
        DWORD pause;
        if (Open(failure)) {
            const TkvBTService* service = fDevice->GetServices(fDevice->GetServiceIndex());
            Tell("connected to " + DeviceText(*fDevice) + ", " + StringToUtf8(service->Caption()) +
                 " (" + ServiceClassText(service->Guid()) + ")" +
                 (fConsole ? "" : "; Ctrl+C ends"));
            const TEnd end = Talk();
            fBt.SetActive(false); // after it, no handler runs
            fOutput.Flush();
            switch (end) {
            case TEnd::Stopped:
            case TEnd::Idle:
                Tell("closed");
                return ecDone;
            case TEnd::OutputFailed:
                Tell(OutputFailure());
                return ecLinkEnded;
            case TEnd::LinkEnded:
                break;
            }
            if (!fOptions.Reconnect && fInput->Ended() && fLost == 0) {
                Tell("the device has ended the link");
                return ecDone;
            }
            // Input that the link took but never sent is gone; the next link goes on after it.
            const std::string ended =
                "the link has ended" +
                (fLost ? "; " + std::to_string(fLost) + " bytes of the input were not sent" : "");
            if (!fOptions.Reconnect) {
                Tell(ended);
                return ecLinkEnded;
            }
            pause = kFirstRetryMs; // after a link that worked, from the start again
            next = 2 * kFirstRetryMs;
            Tell(ended + "; connecting again in 1 s");
        } else {
            if (StopRequested())
                return ecDone;
            if (!fOptions.Reconnect) {
                Tell("could not connect: " + failure);
                return ecNoConnection;
            }
            pause = next;
            next = std::min(next * 2, kLastRetryMs);
            Tell("could not connect: " + failure + "; connecting again in " +
                 std::to_string(pause / 1000) + " s");
        }
        if (!Pause(pause)) {
            Tell("stopped");
            return ecDone;
        }
    }
}

bool TSession::Open(std::string& Failure) {
    if (fDevice->ServiceCount() == 0) {
        try {
            LookUpServices(*fDevice);
        } catch (const EExit& e) {
            Failure = e.what();
            return false;
        }
    }
    if (!fServiceChosen) {
        fDevice->SetServiceIndex(ChooseService(*fDevice, fOptions.Service));
        fServiceChosen = true;
    }
    try {
        fBt.SetActive(true); // a stop meanwhile cancels it
    } catch (const std::exception& e) {
        Failure = StringToUtf8(ExceptionMessage(e));
    }
    fLastActivity = GetTickCount64();
    return fBt.GetActive();
}

TSession::TEnd TSession::Talk() {
    HANDLE waits[] = {gStop, fWake.Get(), fInput->Ready()};
    for (;;) {
        if (StopRequested())
            return TEnd::Stopped;
        if (fOutput.Failure() != 0 || (fCapture && !fCapture->Failure().empty()))
            return TEnd::OutputFailed;
        if (!fBt.GetActive())
            return TEnd::LinkEnded;
        fOutput.Tick();
        if (std::string bytes = fInput->Take(kSendChunk); !bytes.empty()) {
            Send(std::move(bytes));
            continue;
        }
        DWORD timeout = fOutput.Waiting() ? 20 : INFINITE;
        if (fOptions.IdleExit && fInput->Ended() && fBt.QueuedToSend() > 0) {
            fLastActivity = GetTickCount64(); // the input has not all gone out yet
            timeout = std::min<DWORD>(timeout, 20);
        } else if (fOptions.IdleExit && fInput->Ended()) {
            // The stamp before the clock: a byte that arrives in between stamps a time past
            // a "now" read first, and the difference would wrap to an idle time that ends
            // the session while bytes come.
            const ULONGLONG last = fLastActivity;
            const ULONGLONG idle = GetTickCount64() - last;
            if (idle >= fOptions.IdleExitMs)
                return TEnd::Idle;
            timeout = std::min<DWORD>(timeout, static_cast<DWORD>(fOptions.IdleExitMs - idle));
        }
        MsgWaitForMultipleObjects(3, waits, FALSE, timeout, QS_ALLINPUT);
        Application->ProcessMessages();
    }
}

void TSession::Send(std::string Bytes) {
    if (fEol)
        Bytes = fEol->Translate(Bytes);
    fOutput.Sent(Bytes);
    if (fCapture)
        fCapture->Sent(Bytes);
    // Queued; it waits only while more than the queue's limit is queued, so the input is
    // read no further ahead of the device than that.
    fBt.SendData(reinterpret_cast<const std::uint8_t*>(Bytes.data()),
                 static_cast<std::uint32_t>(Bytes.size()));
    fLastActivity = GetTickCount64();
}

bool TSession::Pause(DWORD Ms) {
    const ULONGLONG end = GetTickCount64() + Ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        if (StopRequested())
            return false;
        MsgWaitForMultipleObjects(1, &gStop, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        Application->ProcessMessages();
    }
    return !StopRequested();
}

void TSession::Tell(const std::string& Text) {
    Say(Text);
    if (fCapture)
        fCapture->Note(Text);
}

std::string TSession::OutputFailure() {
    if (DWORD code = fOutput.Failure())
        return "cannot write to standard output: " + StringToUtf8(SystemMessage(code)) + " (" +
               std::to_string(code) + ")";
    return fCapture->Failure();
}

void TSession::Received(TObject*, void* Buffer, std::uint32_t Count) {
    const std::string_view bytes(static_cast<const char*>(Buffer), Count);
    fLastActivity = GetTickCount64();
    fOutput.Received(bytes);
    if (fCapture)
        fCapture->Received(bytes);
    if (fOutput.Failure() != 0 || (fCapture && !fCapture->Failure().empty()))
        fWake.Set();
}

void TSession::Disconnected(TObject*) {
    fLost = fBt.SendLost();
    fWake.Set();
}

void RequestStop() {
    SetEvent(gStop);
    RunOnMainThread([] {
        if (gSession)
            gSession->Stop();
    });
}

} // namespace

TExitCode ConnectCommand(const TOptions& Options) {
    TSession session(Options);
    return session.Run();
}
