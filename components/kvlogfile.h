#pragma once
// kvlogfile: TkvLogFile, a log that appends its lines to a text file.

#include "components/kvclasses.h"

#include <atomic>
#include <mutex>

#include <windows.h>

// A log that appends each line to a UTF-8 text file, as
//   2026-12-10 14:03:07.123 detail kvBT: Opened: Echo Box (00:1A:7D:DA:71:20) {...}
// the local time to the millisecond, the detail level (simple, detail, debug) and the
// text, whose line breaks are written as \r and \n so that each call gives one line.
//
// Each line goes to the end of the file in one write, so a crash loses at most the line
// in progress; the writers of a file take turns through a lock on it, so several logs,
// also of other processes, may share one file. Any thread may write (a component's
// reader does); lines of a level above Level are left out. A write that fails goes to
// DoFatalErrors: OnFatalError, then Exception unless the handler clears the flag.
class TkvLogFile : public TkvCustomLogFile {
public:
    explicit TkvLogFile(TComponent* AOwner);
    ~TkvLogFile() override;

    String GetFileName() const;
    // Opens the file, made when missing and else appended to, and closes the one before;
    // empty only closes. Throws Exception, naming the file and the system's reason, when
    // the file cannot be opened; the log then has no file.
    void SetFileName(const String& Value);
    TDetailLevel GetLevel() const { return fLevel; }
    // dlDebug (the default) keeps every line, dlSimple only the errors.
    void SetLevel(TDetailLevel Value) { fLevel = Value; }

    void AddLog(TDetailLevel l, const String& s) override;
    void AddLogFmt(TDetailLevel l, const String& Fmt, const TVarRecs& Args) override;
    // A line of level simple.
    void Add(const String& s) override;
    void AddFmt(const String& Fmt, const TVarRecs& Args) override;
    // A line of level simple: the program, its process and the processors.
    void AddSysInfo() override;
    // Writes what the system holds of the file through to the disk.
    void Save() override;
    // Empties the file.
    void Clear() override;

private:
    void Write(TDetailLevel l, const String& s);
    void Fail(const String& What, DWORD Code);

    std::atomic<TDetailLevel> fLevel{dlDebug};
    mutable std::mutex fLock; // the file: its handle and its name
    HANDLE fFile = INVALID_HANDLE_VALUE;
    String fFileName;
};
