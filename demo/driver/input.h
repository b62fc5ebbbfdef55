#pragma once
// A user's input to another program's controls, made through the system's input queue
// (SendInput) as a person's mouse and keyboard make it: the program gets the same
// messages in the same order as for a person, through its own message loop, and every
// control reacts in its own way (a check box toggles itself, a combo box notifies its
// parent with CBN_SELCHANGE).
//
// Each action first checks that a person could do it: the control is visible and
// enabled, its window is not disabled by a modal dialog, and the point to click is not
// covered by another window; for typing, the control has the keyboard focus. When that
// fails, or the control does not take the input by the deadline, it throws EDriverError
// saying why. Clicks move the mouse pointer; each button input carries its position, so
// that a late pointer move from the window system cannot send a press elsewhere.
//
// Why these inputs: under Wine on a bare X server they behave as on Windows and proved
// steady on a busy machine. A pick is two mouse clicks, which gives exactly one
// CBN_SELCHANGE as for a person; arrow keys would notify once per item passed.
// Typing is key presses rather than posted WM_CHAR, so key-down handlers and dialog
// keys (Tab, Enter) see what they see from a keyboard.

#include "demo/driver/wait.h"
#include "demo/driver/window.h"

namespace kvdriver {

// A left click at the centre of a control that holds the mouse while pressed: a push
// button, check box, radio button, edit or list box. The press waits until the control
// holds the mouse capture, the release until it lets go of it: a check box has toggled
// by then and a button sends its click notification, so reading the control or its
// program afterwards sees the click. A handler that opens a modal box does not hold up
// the return.
void Click(const TWindow& Control, DWORD TimeoutMs = kDefaultTimeoutMs);

// Picks Item in a drop-down-list combo box with the mouse: a click on the box drops its
// list, a click on the item picks it, and the box notifies its parent once with
// CBN_SELCHANGE. A list taller than its window is first scrolled to show the item
// (LB_SETTOPINDEX, which notifies nothing).
// Returns when the list has closed with Item selected.
void PickComboItem(const TWindow& Combo, const String& Item, DWORD TimeoutMs = kDefaultTimeoutMs);

// Types Text as key presses into Control, which must have the keyboard focus. Its
// window becomes the foreground window first, as keys go there. A character on a key
// of the keyboard layout (with Shift at most) is typed on that key, so the program
// sees WM_KEYDOWN, WM_CHAR and WM_KEYUP; '\r' is the Enter key, '\t' the Tab key. Any
// other character goes as a Unicode key packet (VK_PACKET), which ends in WM_CHAR too.
// Returns once the keys are queued: wait on their effect.
void TypeText(const TWindow& Control, const String& Text, DWORD TimeoutMs = kDefaultTimeoutMs);

} // namespace kvdriver
