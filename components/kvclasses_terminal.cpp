// The terminal binding of TkvBaseIO: typed characters go to the medium; received blocks
// go through the terminal's feed to the main thread, which writes them into the control.
#include "components/kvclasses.h"
#include "components/kvclasses_terminalfeed.h"
#include "toolkit/datetime.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace {

// What Wine's edit control costs (docs/performance.md): each insertion several
// milliseconds, more than its length alone explains once it goes past a few hundred
// characters (a new line without breaks is laid out at about the square of its length),
// so text goes in by at most kStep characters. A cut lays the rest of the cut line out
// anew, so a cut inside a long line leaves at most kCutLineRest of it. The main thread
// writes in turns: the trim the last turn left due, then steps until kSliceMs have
// passed; the next turn follows after a pause (TkvTerminalFeed::Wrote).
const size_t kStep = 512;
const DWORD kCutLineRest = 4096;
const double kSliceMs = 20;

// True while the main thread hands a received key to the terminal: that WM_CHAR is not
// the user's and does not go back to the medium.
thread_local bool tWritingKey = false;

// Cuts the oldest text of the edit control down to about Keep characters. The cut comes
// after a line break when one lies within a quarter of Keep past the least cut (a logical
// line); else at the start of a wrapped line, which the control removes without wrapping
// its text anew, and in a long line so deep that at most kCutLineRest of it remain. A
// caret at the end stays at the end, in view; a user's selection in the kept text stays
// on the same text, and a view scrolled back keeps its first line where it can.
void TrimTerminal(HWND Edit, std::uint32_t Keep) {
    const auto length = static_cast<DWORD>(SendMessageW(Edit, WM_GETTEXTLENGTH, 0, 0));
    if (length <= Keep + Keep / 4)
        return;
    std::vector<wchar_t> text(length + 1);
    SendMessageW(Edit, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()));
    DWORD cut = length - Keep;
    const wchar_t* from = text.data() + cut;
    const wchar_t* to = text.data() + std::min<DWORD>(length - 1, cut + Keep / 4);
    if (const wchar_t* lineEnd = std::find(from, to, L'\n'); lineEnd != to) {
        cut = static_cast<DWORD>(lineEnd + 1 - text.data());
    } else {
        const DWORD lineStop = static_cast<DWORD>(
            std::find(text.data() + cut, text.data() + length, L'\n') - text.data());
        if (lineStop - cut > kCutLineRest)
            cut = lineStop - kCutLineRest;
        LRESULT line = SendMessageW(Edit, EM_LINEFROMCHAR, cut, 0);
        LRESULT next = SendMessageW(Edit, EM_LINEINDEX, static_cast<WPARAM>(line + 1), 0);
        if (next > static_cast<LRESULT>(cut) && next < static_cast<LRESULT>(length))
            cut = static_cast<DWORD>(next);
    }
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(Edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
                 reinterpret_cast<LPARAM>(&selEnd));
    const bool atEnd = selStart == length && selEnd == length;
    const LRESULT firstShown =
        SendMessageW(Edit, EM_LINEINDEX,
                     static_cast<WPARAM>(SendMessageW(Edit, EM_GETFIRSTVISIBLELINE, 0, 0)), 0);
    SendMessageW(Edit, EM_SETSEL, 0, cut);
    SendMessageW(Edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    if (atEnd) {
        SendMessageW(Edit, EM_SETSEL, length - cut, length - cut);
        SendMessageW(Edit, EM_SCROLLCARET, 0, 0);
        return;
    }
    auto shifted = [cut](DWORD at) { return at > cut ? at - cut : 0; };
    SendMessageW(Edit, EM_SETSEL, shifted(selStart), shifted(selEnd));
    if (firstShown < static_cast<LRESULT>(cut))
        return;
    const LRESULT line = SendMessageW(Edit, EM_LINEFROMCHAR, firstShown - cut, 0);
    SendMessageW(Edit, EM_LINESCROLL, 0, line - SendMessageW(Edit, EM_GETFIRSTVISIBLELINE, 0, 0));
}

// The component whose TerminalWndProc a window procedure is, or none.
TkvBaseIO* TerminalOf(const TWndMethod& Proc) {
    if (Proc.Code() != TWndMethod::Bind<&TkvBaseIO::TerminalWndProc>(nullptr).Code())
        return nullptr;
    return static_cast<TkvBaseIO*>(Proc.Data());
}

} // namespace

std::shared_ptr<TkvTerminalFeed> TkvBaseIO::NewTerminalFeed(TkvBaseIO* Component) {
    return std::make_shared<TkvTerminalFeed>(
        [Component] { Component->WriteTerminalPending(TTerminalWrite::Paced); });
}

void TkvBaseIO::SetTerminal(TMemo* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetTerminal(Value); });
    FlushTerminal(); // into the terminal it was received for
    if (TMemo* linked = fTerminal) {
        UnhookTerminal(linked);
        PostMessageW(linked->GetHandle(), WM_KV_TERMINAL_LINK, 0, 0);
    }
    if (!Value) {
        fOldTerminalWndProc = nullptr;
    } else {
        PostMessageW(Value->GetHandle(), WM_KV_TERMINAL_LINK, reinterpret_cast<WPARAM>(this), 0);
        fOldTerminalWndProc = Value->GetWindowProc();
        Value->SetWindowProc(TWndMethod::Bind<&TkvBaseIO::TerminalWndProc>(this));
    }
    fTerminal = Value;
    if (IsDesigning() && Value && fTerminalUsage == tuNone)
        fTerminalUsage = tuBoth;
    SetTerminalUsage(fTerminalUsage);
    if (Value)
        Value->FreeNotification(this);
}

void TkvBaseIO::UnhookTerminal(TMemo* Terminal) {
    const TWndMethod mine = TWndMethod::Bind<&TkvBaseIO::TerminalWndProc>(this);
    if (Terminal->GetWindowProc() == mine) {
        Terminal->SetWindowProc(fOldTerminalWndProc);
        return;
    }
    // Another component linked the control after this one: it forwards to this one's
    // procedure, and now forwards past it.
    for (TkvBaseIO* front = TerminalOf(Terminal->GetWindowProc()); front;
         front = TerminalOf(front->fOldTerminalWndProc)) {
        if (front->fOldTerminalWndProc == mine) {
            front->fOldTerminalWndProc = fOldTerminalWndProc;
            return;
        }
    }
}

void TkvBaseIO::SetTerminalUsage(TTerminalUsage Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetTerminalUsage(Value); });
    fTerminalUsage = Value;
    TMemo* terminal = fTerminal;
    HWND target = !terminal || Value == tuNone || Value == tuSend ? nullptr : terminal->GetHandle();
    if (target != hTerminal) {
        FlushTerminal(); // into the window it was received for
        hTerminal = target;
    }
    fTerminalFeed->SetReceiving(target != nullptr);
}

void TkvBaseIO::TerminalWndProc(TMessage& Message) {
    TTerminalUsage usage = fTerminalUsage;
    if (!tWritingKey && Message.Msg == WM_CHAR && (usage == tuSend || usage == tuBoth)) {
        // A send may wait serving messages, whose handlers may destroy this component:
        // what the message still needs is taken first.
        const TWndMethod control = fOldTerminalWndProc;
        const bool echo = fTerminalEcho;
        SendChar(static_cast<wchar_t>(Message.WParam & 0xFFFF));
        if (echo)
            control(Message);
        return;
    }
    fOldTerminalWndProc(Message);
}

void TkvBaseIO::TerminalWrite(const std::uint8_t* Buffer, std::int32_t Len) {
    if (!IsMainThread())
        return RunOnMainThread([&] { TerminalWrite(Buffer, Len); });
    if (Len <= 0)
        return;
    HWND target = hTerminal;
    if (Len == 1) {
        struct TKey {
            TKey() { tWritingKey = true; }
            ~TKey() { tWritingKey = false; }
        } key;
        SendMessageW(target, WM_CHAR, Buffer[0], 1);
    } else {
        // Each byte becomes the code unit of the same value: no code page applies. Zero
        // bytes split the block into runs, which go in together.
        std::wstring text;
        text.reserve(static_cast<size_t>(Len));
        for (std::int32_t i = 0; i < Len; ++i)
            if (Buffer[i] != 0)
                text += static_cast<wchar_t>(Buffer[i]);
        // Of more than the terminal keeps, only the last part would stay.
        if (const std::uint32_t keep = fTerminalKeep; keep && text.size() > keep)
            text.erase(0, text.size() - keep);
        for (size_t at = 0; at < text.size();) {
            const size_t n = std::min(text.size() - at, kStep);
            const wchar_t saved = text[at + n];
            text[at + n] = L'\0';
            SendMessageW(target, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(&text[at]));
            text[at + n] = saved;
            at += n;
        }
    }
    fTerminalWritten += static_cast<std::uint32_t>(Len);
    if (!fTerminalWriting)
        TrimTerminalIfDue();
}

void TkvBaseIO::TrimTerminalIfDue() {
    // Look at the length only now and then: each look is one more message to the control.
    HWND target = hTerminal;
    const std::uint32_t keep = fTerminalKeep;
    if (target && keep && fTerminalWritten >= keep / 4) {
        fTerminalWritten = 0;
        TrimTerminal(target, keep);
    }
}

void TkvBaseIO::PassToTerminal(const void* Buffer, std::uint32_t Len) {
    const std::uint32_t keep = fTerminalKeep;
    if (!IsMainThread()) {
        fTerminalFeed->Push(Buffer, Len, keep,
                            [this] { return IsThreadIOTerminated() || !fTerminal.load(); });
        return;
    }
    // The main thread cannot wait for itself: where nothing may be dropped, a full feed
    // gets one write first.
    if (!keep && fTerminalFeed->Full())
        WriteTerminalPending(TTerminalWrite::Slice);
    fTerminalFeed->Push(Buffer, Len, keep, nullptr);
}

void TkvBaseIO::FlushTerminal() {
    if (IsMainThread())
        WriteTerminalPending(TTerminalWrite::All);
}

void TkvBaseIO::WriteTerminalPending(TTerminalWrite How) {
    TkvTerminalFeed& feed = *fTerminalFeed;
    if (fTerminalWriting)
        return; // a write further up this thread's stack takes the rest
    if (How == TTerminalWrite::Paced && !feed.Due())
        return;
    const double start = ClockMs();
    // A write that throws (an override of TerminalWrite, a handler in front of the
    // control) leaves the rest for another turn.
    struct TTurn {
        TkvBaseIO& Io;
        double Start;
        int Unwinding = std::uncaught_exceptions();
        TTurn(TkvBaseIO& io, double start) : Io(io), Start(start) { Io.fTerminalWriting = true; }
        ~TTurn() {
            Io.fTerminalWriting = false;
            if (std::uncaught_exceptions() > Unwinding)
                Io.fTerminalFeed->Wrote(ClockMs() - Start, true);
        }
    } turn(*this, start);
    // A turn is the trim that the last one left due, then steps until its time is up.
    if (fTerminal.load())
        TrimTerminalIfDue();
    bool more = false;
    TkvTerminalFeed::TStep step;
    for (;;) {
        more = How != TTerminalWrite::All && ClockMs() - start >= kSliceMs;
        if (more || !feed.Take(step, kStep))
            break;
        if (!fTerminal.load())
            continue; // the terminal has gone
        if (step.Key) {
            TerminalWrite(reinterpret_cast<const std::uint8_t*>(step.Bytes.data()), 1);
        } else {
            step.Bytes += '\0'; // a block of one character is text too
            TerminalWrite(reinterpret_cast<const std::uint8_t*>(step.Bytes.data()),
                          static_cast<std::int32_t>(step.Bytes.size()));
        }
    }
    if (!more && fTerminal.load()) {
        if (How == TTerminalWrite::All || ClockMs() - start < kSliceMs)
            TrimTerminalIfDue();
        else
            more = true; // the next turn trims
    }
    if (How != TTerminalWrite::All)
        feed.Wrote(ClockMs() - start, more);
}
