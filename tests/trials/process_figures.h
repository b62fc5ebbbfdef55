#pragma once
// Figures of this process that show what it holds: open handles and threads.

namespace kvtrials {

// Open handles of this process, from the system's handle table (GetProcessHandleCount
// answers 0 under Wine); -1 when the table cannot be read.
int ProcessHandleCount();
// Threads of this process (Toolhelp); -1 when they cannot be listed.
int ProcessThreadCount();

} // namespace kvtrials
