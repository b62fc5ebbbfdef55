#pragma once
// The console's key presses as the bytes a device's shell expects of a terminal.

#include <string>
#include <utility>

#include <windows.h>

// Translates key events of a console (ReadConsoleInputW) into bytes: characters as
// UTF-8 (Ctrl+C and the other control characters as they are; Alt with a character
// sends ESC before it), Enter as the given line end, Backspace as DEL (Ctrl+Backspace
// as BS), Shift+Tab as ESC [ Z, and the cursor, editing and function keys as the VT
// sequences that a device's shell expects: ESC [ A for Up, ESC [ 1 ; 5 A for Ctrl+Up,
// ESC O P for F1, ESC [ 1 5 ~ for F5. A key held down sends its bytes once per repeat.
class TKeyTranslator {
public:
    TKeyTranslator(std::string Enter, wchar_t Escape) : fEnter(std::move(Enter)), fEscape(Escape) {}

    // Adds the bytes of the event to Out; true when it is the escape key, which sends
    // nothing.
    bool Translate(const KEY_EVENT_RECORD& Key, std::string& Out);

private:
    std::string fEnter;
    wchar_t fEscape;
    wchar_t fHighSurrogate = 0; // the first half of a character beyond the BMP
};
