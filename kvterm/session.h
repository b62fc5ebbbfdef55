#pragma once
// The connect command: a terminal on one service of one device.
//
// Threads: the main thread owns the component; it connects, sends what standard input
// delivers and closes, serving its messages while it waits. The component's reader
// (UseMainThread stays false) runs OnReceived, which writes to standard output and the
// capture, and may run OnDisconnect, which only wakes the main thread. Standard input is
// read on a thread of its own (input.h); the console runs the Ctrl+C handler on another:
// both ask the main thread to stop, with a synchronized call that closes the link, so
// that a send or an open that waits ends at once.

#include "kvterm/options.h"

TExitCode ConnectCommand(const TOptions& Options);
