// The terminal binding of TkvBaseIO: typed characters go to the medium, received
// blocks go into the edit control.
#include "components/kvclasses.h"

#include <algorithm>
#include <vector>

namespace {

// Cuts the oldest text of the edit control down to kvTerminalKeep characters, at a line
// start where there is one, and keeps the caret and the selection on the same text.
void TrimTerminal(HWND Edit) {
    const auto length = static_cast<DWORD>(SendMessageW(Edit, WM_GETTEXTLENGTH, 0, 0));
    if (length <= kvTerminalKeep + kvTerminalKeep / 4)
        return;
    DWORD cut = length - kvTerminalKeep;
    LRESULT line = SendMessageW(Edit, EM_LINEFROMCHAR, cut, 0);
    LRESULT next = SendMessageW(Edit, EM_LINEINDEX, static_cast<WPARAM>(line + 1), 0);
    if (next > static_cast<LRESULT>(cut) && next < static_cast<LRESULT>(length))
        cut = static_cast<DWORD>(next);
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(Edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
                 reinterpret_cast<LPARAM>(&selEnd));
    SendMessageW(Edit, EM_SETSEL, 0, cut);
    SendMessageW(Edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    auto shifted = [cut](DWORD at) { return at > cut ? at - cut : 0; };
    SendMessageW(Edit, EM_SETSEL, shifted(selStart), shifted(selEnd));
}

} // namespace

void TkvBaseIO::SetTerminal(TMemo* Value) {
    if (TMemo* linked = fTerminal) {
        linked->SetWindowProc(fOldTerminalWndProc);
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

void TkvBaseIO::SetTerminalUsage(TTerminalUsage Value) {
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
            size_t from = std::max(start, end > kvTerminalKeep ? end - kvTerminalKeep : 0);
            if (end > from) // the run ends in its zero, or in the terminating one
                SendMessageW(target, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(&text[from]));
            start = end + 1;
        }
    }
    // Look at the length only now and then: each look is one more message to the control.
    fTerminalWritten += static_cast<std::uint32_t>(Len);
    if (target && fTerminalWritten >= kvTerminalKeep / 4) {
        fTerminalWritten = 0;
        TrimTerminal(target);
    }
}
