// The terminal binding of TkvBaseIO: typed characters go to the medium, received
// blocks go into the edit control.
#include "components/kvclasses.h"

#include <algorithm>
#include <vector>

namespace {

// Cuts the oldest text of the edit control down to about Keep characters. The cut comes
// after a line break when one lies within a quarter of Keep past the least cut (a logical
// line); else at the start of a wrapped line, which the control removes without wrapping
// its text anew. A caret at the end stays at the end, in view; a user's selection in the
// kept text stays on the same text.
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
        LRESULT line = SendMessageW(Edit, EM_LINEFROMCHAR, cut, 0);
        LRESULT next = SendMessageW(Edit, EM_LINEINDEX, static_cast<WPARAM>(line + 1), 0);
        if (next > static_cast<LRESULT>(cut) && next < static_cast<LRESULT>(length))
            cut = static_cast<DWORD>(next);
    }
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(Edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
                 reinterpret_cast<LPARAM>(&selEnd));
    const bool atEnd = selStart == length && selEnd == length;
    SendMessageW(Edit, EM_SETSEL, 0, cut);
    SendMessageW(Edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    if (atEnd) {
        SendMessageW(Edit, EM_SETSEL, length - cut, length - cut);
        SendMessageW(Edit, EM_SCROLLCARET, 0, 0);
    } else {
        auto shifted = [cut](DWORD at) { return at > cut ? at - cut : 0; };
        SendMessageW(Edit, EM_SETSEL, shifted(selStart), shifted(selEnd));
    }
}

// The component whose TerminalWndProc a window procedure is, or none.
TkvBaseIO* TerminalOf(const TWndMethod& Proc) {
    if (Proc.Code() != TWndMethod::Bind<&TkvBaseIO::TerminalWndProc>(nullptr).Code())
        return nullptr;
    return static_cast<TkvBaseIO*>(Proc.Data());
}

} // namespace

void TkvBaseIO::SetTerminal(TMemo* Value) {
    if (!IsMainThread())
        return RunOnMainThread([&] { SetTerminal(Value); });
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
    hTerminal = nullptr;
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
    if (!terminal)
        return;
    if (Value == tuNone || Value == tuSend)
        hTerminal = nullptr;
    else
        hTerminal = terminal->GetHandle();
}

void TkvBaseIO::TerminalWndProc(TMessage& Message) {
    TTerminalUsage usage = fTerminalUsage;
    if (!fTerminalLocked && Message.Msg == WM_CHAR && (usage == tuSend || usage == tuBoth)) {
        SendChar(static_cast<wchar_t>(Message.WParam & 0xFFFF));
        if (!fTerminalEcho)
            return;
    }
    fOldTerminalWndProc(Message);
}

void TkvBaseIO::TerminalWrite(const std::uint8_t* Buffer, std::int32_t Len) {
    struct TLock {
        std::atomic<bool>& Flag;
        explicit TLock(std::atomic<bool>& f) : Flag(f) { Flag = true; }
        ~TLock() { Flag = false; }
    } lock(fTerminalLocked);
    if (Len <= 0)
        return;
    HWND target = hTerminal;
    const std::uint32_t keep = fTerminalKeep;
    // Each byte becomes the code unit of the same value: no code page applies.
    std::vector<wchar_t> text(static_cast<size_t>(Len) + 1, L'\0');
    for (std::int32_t i = 0; i < Len; ++i)
        text[static_cast<size_t>(i)] = static_cast<wchar_t>(Buffer[i]);
    if (Len == 1) {
        SendMessageW(target, WM_CHAR, text[0], 1);
    } else {
        // Zero bytes split the block; each run goes in as one insertion at the caret.
        for (size_t start = 0; start < static_cast<size_t>(Len);) {
            size_t end = start;
            while (end < static_cast<size_t>(Len) && text[end] != L'\0')
                ++end;
            // Of a run longer than the terminal keeps, only its last part would stay.
            size_t from = keep && end - start > keep ? end - keep : start;
            if (end > from) // the run ends in its zero, or in the terminating one
                SendMessageW(target, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(&text[from]));
            start = end + 1;
        }
    }
    // Look at the length only now and then: each look is one more message to the control.
    fTerminalWritten += static_cast<std::uint32_t>(Len);
    if (target && keep && fTerminalWritten >= keep / 4) {
        fTerminalWritten = 0;
        TrimTerminal(target, keep);
    }
}
