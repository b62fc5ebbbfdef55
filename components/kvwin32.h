#pragma once
// kvwin32: the library's registered window messages.

#include <windows.h>

// Registers "kvLinkMsgComEvent" and "kvLinkMsgQuitComEvent" with the system and keeps
// their numbers; a program runs it once at start (later calls change nothing).
void KvWin32Startup();

// The registered numbers; 0 before KvWin32Startup.
UINT KvLinkMsgComEvent();
UINT KvLinkMsgQuitComEvent();
