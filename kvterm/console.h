#pragma once
// The console kvterm may run in. What it changes there is put back by RestoreConsole,
// which the program's end calls, and so does a Ctrl+C or Ctrl+Break that ends it early.

// Sets the console's output code page to UTF-8, for the names and texts kvterm writes.
void PrepareConsole();

// For a session: when standard input is a console, its keys come as they are typed,
// without echo and with Ctrl+C as a key; when standard output is one, it processes VT
// sequences. True when standard input is a console.
bool EnterSessionModes();

// Puts back every mode and the code page as they were; any thread, more than once.
void RestoreConsole();
