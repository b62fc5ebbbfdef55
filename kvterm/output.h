#pragma once
// Where a session's bytes are shown and captured.

#include "components/kvlogfile.h"
#include "kvterm/bytes.h"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

// Standard output: the received bytes as they are, or as hex-dump lines (a line when it
// is full, or once no byte has come for 100 ms), and with echo the sent bytes too (in
// hex, each line marked "< " received or "> " sent). Received bytes come from the
// connection's reader, the rest from the main thread.
class TOutput {
public:
    TOutput(HANDLE Out, bool Hex, bool Echo);

    void Received(std::string_view Bytes);
    void Sent(std::string_view Bytes);
    // Shows a hex line that has waited 100 ms.
    void Tick();
    // Shows a hex line not yet full, at once: the end of a link or of the session.
    void Flush();
    // A hex line waits for more bytes.
    bool Waiting() const;
    // A write failed (the reader of a pipe has gone, a disk is full): the error, else 0.
    DWORD Failure() const { return fFailure; }

private:
    void Write(std::string_view Bytes);
    void WriteLines(const std::vector<std::string>& Lines);
    // Shows the received hex line, when one waits and is over 100 ms old.
    void FlushStale(ULONGLONG Now);

    const HANDLE fHandle;
    const bool fHex;
    const bool fEcho;
    mutable std::mutex fLock; // the dumps and the order of writes
    THexDump fReceived;
    THexDump fSent;
    ULONGLONG fLastIn = 0; // when the waiting received line last grew
    std::atomic<DWORD> fFailure{0};
};

// The --log capture: each block in and out as hex-dump lines marked "in" or "out", each
// block from a line of its own, in the log that the connection writes to as well. Blocks
// come from the connection's reader and from the main thread. A line that cannot be
// written ends nothing at once: Failure tells.
class TCapture {
public:
    // Takes the log's OnFatalError.
    explicit TCapture(TkvLogFile& Log);

    void Received(std::string_view Bytes);
    void Sent(std::string_view Bytes);
    // A line of kvterm's own.
    void Note(const std::string& Text);
    // Why the first line that could not be written was not; empty while all were.
    std::string Failure() const;

private:
    void Block(THexDump& Dump, std::string_view Bytes);
    void Failed(TObject* Sender, std::uint32_t Code, std::uint32_t Detail, const String& Message,
                bool& Raise);

    TkvLogFile& fLog;
    std::mutex fLock; // the dumps and the order of blocks
    THexDump fIn{"in  "};
    THexDump fOut{"out "};
    mutable std::mutex fFailureLock; // apart: a failure is reported inside a block
    std::string fFailure;
};
