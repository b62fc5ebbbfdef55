#include "components/kvlogfile.h"

#include "components/kvsysutils.h"
#include "toolkit/exceptions.h"
#include "toolkit/format.h"

#include <cstdio>

namespace {

const wchar_t* const kLevelNames[] = {L"simple", L"detail", L"debug"};

// Opened for appending: every write goes to the end of the file. (Reading is asked for
// too, which the lock below needs.)
HANDLE OpenForAppending(const String& FileName) {
    return CreateFileW(FileName.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The byte whose lock the writers of a file take turns on, far past any end of the file.
OVERLAPPED TurnOf() {
    OVERLAPPED turn{};
    turn.Offset = 0xFFFFFFFE;
    turn.OffsetHigh = 0x7FFFFFFF;
    return turn;
}

// Appends the line whole. The writers of every handle on the file, in any process, take
// turns through the lock of TurnOf's byte: an append alone is not one step everywhere
// (Wine finds the end and writes there in two), and two logs on one file would write over
// each other's lines. Where the file system has no locks, the line is written all the same.
bool Append(HANDLE File, const std::string& Line) {
    OVERLAPPED turn = TurnOf();
    const bool locked = LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
    DWORD written = 0;
    const bool wrote =
        WriteFile(File, Line.data(), static_cast<DWORD>(Line.size()), &written, nullptr);
    const bool whole = wrote && written == Line.size();
    // A short write succeeds and leaves no error of its own to tell.
    const DWORD code = whole ? ERROR_SUCCESS : wrote ? ERROR_WRITE_FAULT : GetLastError();
    if (locked)
        UnlockFileEx(File, 0, 1, 0, &turn);
    SetLastError(code);
    return whole;
}

// "2026-12-10 14:03:07.123 detail text\r\n", line breaks in the text escaped.
std::string Line(TDetailLevel Level, const String& Text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    String line = stamp;
    line += kLevelNames[Level <= dlDebug ? Level : dlDebug];
    line += L' ';
    for (wchar_t c : Text) {
        if (c == L'\r')
            line += L"\\r";
        else if (c == L'\n')
            line += L"\\n";
        else
            line += c;
    }
    line += L"\r\n";
    return StringToUtf8(line);
}

} // namespace

TkvLogFile::TkvLogFile(TComponent* AOwner) : TkvCustomLogFile(AOwner) {}

TkvLogFile::~TkvLogFile() {
    EndCalls(); // no write of another thread runs into the closed file
    if (fFile != INVALID_HANDLE_VALUE)
        CloseHandle(fFile);
}

String TkvLogFile::GetFileName() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fFileName;
}

void TkvLogFile::SetFileName(const String& Value) {
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD code = 0;
    if (!Value.empty()) {
        file = OpenForAppending(Value);
        code = GetLastError();
    }
    {
        std::lock_guard<std::mutex> lock(fLock);
        if (fFile != INVALID_HANDLE_VALUE)
            CloseHandle(fFile);
        fFile = file;
        fFileName = file != INVALID_HANDLE_VALUE ? Value : String();
    }
    if (!Value.empty() && file == INVALID_HANDLE_VALUE)
        throw Exception(L"Cannot open the log file " + Value + L": " + SystemMessage(code) + L" (" +
                        IntToStr(code) + L")");
}

void TkvLogFile::AddLog(TDetailLevel l, const String& s) {
    Write(l, s);
}

void TkvLogFile::AddLogFmt(TDetailLevel l, const String& Fmt, const TVarRecs& Args) {
    Write(l, Format(Fmt, Args));
}

void TkvLogFile::Add(const String& s) {
    Write(dlSimple, s);
}

void TkvLogFile::AddFmt(const String& Fmt, const TVarRecs& Args) {
    Write(dlSimple, Format(Fmt, Args));
}

void TkvLogFile::AddSysInfo() {
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    Write(dlSimple, Format(L"System: %s, process %u, %u processors",
                           {String(program), static_cast<unsigned long>(GetCurrentProcessId()),
                            static_cast<unsigned long>(system.dwNumberOfProcessors)}));
}

void TkvLogFile::Save() {
    std::lock_guard<std::mutex> lock(fLock);
    if (fFile != INVALID_HANDLE_VALUE)
        FlushFileBuffers(fFile);
}

void TkvLogFile::Clear() {
    std::unique_lock<std::mutex> lock(fLock);
    if (fFile == INVALID_HANDLE_VALUE)
        return;
    // A handle that only appends cannot cut the file: one for writing, made from that
    // handle and not from the name, does it. The name may lead elsewhere by now (a relative
    // one once the current folder changed, or the file renamed and another made).
    HANDLE file =
        ReOpenFile(fFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        // In turn with the other writers, whose appends would else land past the new end.
        OVERLAPPED turn = TurnOf();
        const bool locked = LockFileEx(fFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
        code = SetEndOfFile(file) ? 0 : GetLastError();
        if (locked)
            UnlockFileEx(fFile, 0, 1, 0, &turn);
        CloseHandle(file);
    }
    if (code != 0) {
        String name = fFileName;
        lock.unlock();
        Fail(L"Cannot empty the log file " + name, code);
    }
}

void TkvLogFile::Write(TDetailLevel l, const String& s) {
    if (l > fLevel)
        return;
    const std::string line = Line(l, s);
    std::unique_lock<std::mutex> lock(fLock);
    if (fFile == INVALID_HANDLE_VALUE)
        return;
    if (Append(fFile, line))
        return;
    DWORD code = GetLastError();
    String name = fFileName;
    lock.unlock();
    Fail(L"Cannot write to the log file " + name, code);
}

void TkvLogFile::Fail(const String& What, DWORD Code) {
    DoFatalErrors(Code, 0, What + L": " + SystemMessage(Code) + L" (" + IntToStr(Code) + L")");
}
