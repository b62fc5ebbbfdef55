#include "kvterm/keys.h"

#include <cstdio>

namespace {

const char kEsc = '\x1B';

// A VT key sequence's modifier parameter: 1, plus 1 for Shift, 2 for Alt, 4 for Ctrl.
int Modifiers(DWORD State) {
    int m = 1;
    if (State & SHIFT_PRESSED)
        m += 1;
    if (State & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED))
        m += 2;
    if (State & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED))
        m += 4;
    return m;
}

// The sequence of a cursor, editing or function key; empty for any other key.
std::string KeySequence(WORD Key, DWORD State) {
    const int m = Modifiers(State);
    char text[16];
    // ESC [ f, or with modifiers ESC [ 1 ; m f.
    auto csi = [&](char f) {
        if (m > 1)
            std::snprintf(text, sizeof text, "\x1B[1;%d%c", m, f);
        else
            std::snprintf(text, sizeof text, "\x1B[%c", f);
        return std::string(text);
    };
    // ESC [ n ~, or with modifiers ESC [ n ; m ~.
    auto tilde = [&](int n) {
        if (m > 1)
            std::snprintf(text, sizeof text, "\x1B[%d;%d~", n, m);
        else
            std::snprintf(text, sizeof text, "\x1B[%d~", n);
        return std::string(text);
    };
    switch (Key) {
    case VK_UP:
        return csi('A');
    case VK_DOWN:
        return csi('B');
    case VK_RIGHT:
        return csi('C');
    case VK_LEFT:
        return csi('D');
    case VK_HOME:
        return csi('H');
    case VK_END:
        return csi('F');
    case VK_INSERT:
        return tilde(2);
    case VK_DELETE:
        return tilde(3);
    case VK_PRIOR:
        return tilde(5);
    case VK_NEXT:
        return tilde(6);
    case VK_F1:
    case VK_F2:
    case VK_F3:
    case VK_F4: {
        const char f = static_cast<char>('P' + (Key - VK_F1));
        return m > 1 ? csi(f) : std::string{kEsc, 'O', f};
    }
    case VK_F5:
        return tilde(15);
    case VK_F6:
        return tilde(17);
    case VK_F7:
        return tilde(18);
    case VK_F8:
        return tilde(19);
    case VK_F9:
        return tilde(20);
    case VK_F10:
        return tilde(21);
    case VK_F11:
        return tilde(23);
    case VK_F12:
        return tilde(24);
    default:
        return {};
    }
}

void AppendUtf8(char32_t c, std::string& Out) {
    if (c < 0x80) {
        Out += static_cast<char>(c);
    } else if (c < 0x800) {
        Out += static_cast<char>(0xC0 | (c >> 6));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        Out += static_cast<char>(0xE0 | (c >> 12));
        Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (c >> 18));
        Out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

bool TKeyTranslator::Translate(const KEY_EVENT_RECORD& Key, std::string& Out) {
    const wchar_t ch = Key.uChar.UnicodeChar;
    // A character typed with Alt and the keypad's digits comes with the release of Alt.
    const bool altRelease = !Key.bKeyDown && Key.wVirtualKeyCode == VK_MENU && ch != 0;
    if (!Key.bKeyDown && !altRelease)
        return false;
    if (ch == fEscape && ch != 0)
        return true;
    const DWORD state = Key.dwControlKeyState;
    const bool ctrl = state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED);
    const bool alt = state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED);
    std::string bytes;
    if (altRelease) {
        AppendUtf8(ch, bytes);
    } else if (Key.wVirtualKeyCode == VK_RETURN) {
        bytes = fEnter;
    } else if (Key.wVirtualKeyCode == VK_BACK) {
        bytes = std::string(1, ctrl ? '\x08' : '\x7F');
    } else if (Key.wVirtualKeyCode == VK_TAB && (state & SHIFT_PRESSED)) {
        bytes = std::string{kEsc, '[', 'Z'};
    } else if (std::string sequence = KeySequence(Key.wVirtualKeyCode, state); !sequence.empty()) {
        bytes = sequence;
    } else if (ch >= 0xD800 && ch < 0xDC00) {
        fHighSurrogate = ch; // the character follows with its second half
        return false;
    } else if (ch != 0) {
        char32_t c = ch;
        if (ch >= 0xDC00 && ch < 0xE000) {
            if (!fHighSurrogate)
                return false; // half a character: nothing to send
            c = 0x10000 + ((static_cast<char32_t>(fHighSurrogate) - 0xD800) << 10) + (ch - 0xDC00);
        }
        fHighSurrogate = 0;
        if (alt && !ctrl) // Ctrl with Alt is AltGr, which types characters of its own
            bytes += kEsc;
        AppendUtf8(c, bytes);
    }
    for (WORD i = 0; i < (Key.wRepeatCount ? Key.wRepeatCount : 1); ++i)
        Out += bytes;
    return false;
}
