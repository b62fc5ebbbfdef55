// The terminal binding of TkvBaseIO: typed characters go to the medium, received
// blocks go into the edit control.
#include "components/kvclasses.h"

#include <vector>

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
        return;
    }
    // Zero bytes split the block; each run goes in as one insertion at the caret.
    for (size_t start = 0; start < static_cast<size_t>(Len);) {
        size_t end = start;
        while (end < static_cast<size_t>(Len) && text[end] != L'\0')
            ++end;
        if (end > start) // the run ends in its zero, or in the terminating one
            SendMessageW(target, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(&text[start]));
        start = end + 1;
    }
}
