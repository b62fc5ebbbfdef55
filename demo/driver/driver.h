#pragma once
// The driver: plays a user's session with another program through its real windows,
// from outside the program, which needs no test hooks for it.
//
//   TProgram        starts the program, finds its windows and message boxes, ends it
//   TWindow         reads a window and its controls, finds controls by class and text
//   input.h         clicks, combo-box picks and typing, as real mouse and keyboard input
//   TMessageBox     reads a message box and presses its OK button
//   WaitUntil       waits for a condition with a deadline, pumping messages meanwhile
//   conditions.h    waits for a text, a list box line, a window to close
//   screen_capture  screenshots of a window from the screen, saved as PNG
//
// Every failure, and every deadline passed, is an EDriverError saying what was tried.

#include "demo/driver/conditions.h"
#include "demo/driver/driver_error.h"
#include "demo/driver/input.h"
#include "demo/driver/message_box.h"
#include "demo/driver/program.h"
#include "demo/driver/screen_capture.h"
#include "demo/driver/wait.h"
#include "demo/driver/window.h"
