// TkvTerminalFeed: the queue between a reader and its terminal, and the main thread's
// wake-ups (a message-only window of the main thread: posted, a timer, or sent).
#include "components/kvclasses_terminalfeed.h"

#include "toolkit/application.h"
#include "toolkit/datetime.h"
#include "toolkit/messagewindow.h"

#include <algorithm>
#include <utility>

namespace {

const wchar_t kFeedClass[] = L"TkvTerminalFeedWindow";
const UINT WM_KV_FEED_WAKE = WM_APP + 0x3A4;
const UINT_PTR kFeedTimer = 1;
// Turns begin at most this often: each message to the control costs some milliseconds
// whatever it carries, so text that arrives meanwhile goes in together.
const double kTurnEveryMs = 40;
// How often a reader that waits for room looks at its stop, and asks again.
const DWORD kWaitTickMs = 10;

} // namespace

TkvTerminalFeed::TkvTerminalFeed(std::function<void()> Wake)
    : fWake(std::move(Wake)), fRoom(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

TkvTerminalFeed::~TkvTerminalFeed() {
    if (fWindow)
        DestroyWindow(fWindow); // with its timer and the wake-ups still on their way
    CloseHandle(fRoom);
}

LRESULT CALLBACK TkvTerminalFeed::WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* self = static_cast<TkvTerminalFeed*>(MessageWindowSelf(Window, Msg, LParam));
    if (self && (Msg == WM_KV_FEED_WAKE || (Msg == WM_TIMER && WParam == kFeedTimer))) {
        if (Msg == WM_TIMER)
            KillTimer(Window, kFeedTimer);
        // No exception crosses the system's window procedures: it is shown, as the
        // application shows every exception that escapes a handler.
        try {
            self->fWake();
        } catch (...) {
            if (Application)
                Application->HandleCurrentException();
        }
        return 0;
    }
    return DefWindowProcW(Window, Msg, WParam, LParam);
}

void TkvTerminalFeed::SetReceiving(bool Receiving) {
    if (Receiving && !fWindow) {
        HWND window = CreateMessageWindow(kFeedClass, &TkvTerminalFeed::WindowProc, this);
        std::lock_guard<std::mutex> lock(fLock);
        fWindow = window;
    }
    std::lock_guard<std::mutex> lock(fLock);
    fReceiving = Receiving && fWindow;
    if (!fReceiving) {
        fQueue.clear();
        fBytes = 0;
        SetEvent(fRoom);
    }
}

TkvTerminalFeed::TPiece TkvTerminalFeed::Shape(const std::uint8_t* Buffer, std::uint32_t Len,
                                               std::uint32_t Keep) {
    if (Len == 1)
        return {true, std::string(1, static_cast<char>(Buffer[0]))};
    // Of text, only what the terminal keeps can show: the last Keep characters.
    std::uint32_t from = Len, shown = 0;
    while (from > 0 && (!Keep || shown < Keep))
        shown += Buffer[--from] != 0;
    TPiece text;
    text.Bytes.reserve(shown);
    for (std::uint32_t i = from; i < Len; ++i)
        if (Buffer[i] != 0)
            text.Bytes += static_cast<char>(Buffer[i]);
    return text;
}

bool TkvTerminalFeed::Queue(TPiece Piece, std::uint32_t Keep) {
    fBytes += Piece.Size();
    if (!Piece.Key && !fQueue.empty() && !fQueue.back().Key)
        fQueue.back().Bytes += Piece.Bytes;
    else
        fQueue.push_back(std::move(Piece));
    // Text before the last Keep characters would be cut as soon as it showed.
    while (Keep && fBytes > Keep) {
        TPiece& oldest = fQueue.front();
        const size_t over = fBytes - Keep;
        if (oldest.Key || oldest.Size() <= over) {
            fBytes -= oldest.Size();
            fQueue.pop_front();
        } else {
            oldest.From += over;
            fBytes -= over;
            Compact(oldest);
        }
    }
    return !std::exchange(fWoken, true);
}

void TkvTerminalFeed::Wake(HWND Window) {
    if (!PostMessageW(Window, WM_KV_FEED_WAKE, 0, 0)) {
        std::lock_guard<std::mutex> lock(fLock);
        fWoken = false; // the next block tries again
    }
}

void TkvTerminalFeed::Compact(TPiece& Piece) {
    // Text that a reader keeps adding to while its start goes: let go of the start before
    // the text grows further.
    if (Piece.From >= Piece.Bytes.size() / 2) {
        Piece.Bytes.erase(0, Piece.From);
        Piece.From = 0;
    }
}

void TkvTerminalFeed::Push(const void* Buffer, std::uint32_t Len, std::uint32_t Keep,
                           const std::function<bool()>& Stop) {
    TPiece piece = Shape(static_cast<const std::uint8_t*>(Buffer), Len, Keep);
    if (piece.Size() == 0)
        return; // nothing to show
    double asked = 0;
    for (bool stopped = false;; stopped = Stop()) {
        HWND window;
        bool queued = false, wake = false;
        {
            std::lock_guard<std::mutex> lock(fLock);
            if (!fReceiving)
                return;
            window = fWindow;
            if (Keep || !Stop || fBytes <= kBacklog || stopped) {
                wake = Queue(std::move(piece), Keep);
                queued = true;
            }
        }
        if (queued) {
            fReaderWaits = false;
            if (wake)
                Wake(window);
            return;
        }
        // Full, and nothing may be dropped: the window sets the pace. Whoever stops this
        // reader may wait for it without serving posted messages, so it looks at its
        // stop on every tick (and then queues the block anyway), and asks with a sent
        // message, which such a wait serves.
        fReaderWaits = true;
        if (ClockMs() - asked >= 10 * kWaitTickMs) {
            asked = ClockMs();
            SendNotifyMessageW(window, WM_KV_FEED_WAKE, 0, 0);
        }
        WaitForSingleObject(fRoom, kWaitTickMs);
    }
}

bool TkvTerminalFeed::Full() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fBytes > kBacklog;
}

bool TkvTerminalFeed::Due() {
    const double now = ClockMs();
    if (fReaderWaits || now >= fNext)
        return true;
    WakeAfter(fNext - now);
    return false;
}

bool TkvTerminalFeed::Take(TStep& Step, size_t MaxText) {
    std::lock_guard<std::mutex> lock(fLock);
    if (fQueue.empty()) {
        fWoken = false;
        return false;
    }
    TPiece& oldest = fQueue.front();
    Step.Key = oldest.Key;
    const size_t n = oldest.Key ? 1 : std::min(oldest.Size(), MaxText);
    Step.Bytes.assign(oldest.Bytes, oldest.From, n);
    oldest.From += n;
    fBytes -= n;
    if (oldest.Size() == 0)
        fQueue.pop_front();
    else
        Compact(oldest);
    if (fReaderWaits && fBytes <= kBacklog)
        SetEvent(fRoom);
    return true;
}

void TkvTerminalFeed::Wrote(double Ms, bool More) {
    const double pause = std::max(Ms / 2, kTurnEveryMs - Ms);
    fNext = ClockMs() + pause;
    if (More)
        WakeAfter(pause);
}

void TkvTerminalFeed::WakeAfter(double Ms) {
    SetTimer(fWindow, kFeedTimer, static_cast<UINT>(std::max(1.0, Ms)), nullptr);
}
