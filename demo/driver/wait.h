#pragma once
// Waiting with a deadline while this thread keeps handling its own messages, so that a
// driver running inside a windowed program does not freeze it.

#include "toolkit/text.h"

#include <functional>

#include <windows.h>

namespace kvdriver {

// The deadline of every wait that is not given one: generous, as Wine on a busy machine
// can take seconds to start a program.
constexpr DWORD kDefaultTimeoutMs = 20000;

// Checks Condition every PollMs, pumping messages in between, until it holds. Throws
// EDriverError "timed out after N ms waiting for What" when TimeoutMs pass first.
// Condition may throw to give up early (for example when the program has exited).
void WaitUntil(const std::function<bool()>& Condition, const String& What,
               DWORD TimeoutMs = kDefaultTimeoutMs, DWORD PollMs = 10);

} // namespace kvdriver
