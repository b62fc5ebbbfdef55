#include "kvterm/output.h"

namespace {

// The idle time after which a hex line not yet full is shown.
const ULONGLONG kHexIdleMs = 100;

} // namespace

TOutput::TOutput(HANDLE Out, bool Hex, bool Echo)
    : fHandle(Out), fHex(Hex), fEcho(Echo), fReceived(Echo ? "< " : ""), fSent(Echo ? "> " : "") {}

void TOutput::Received(std::string_view Bytes) {
    std::lock_guard<std::mutex> lock(fLock);
    if (!fHex) {
        Write(Bytes);
        return;
    }
    const ULONGLONG now = GetTickCount64();
    FlushStale(now); // it should have been shown before these bytes came
    std::vector<std::string> lines;
    fReceived.Add(Bytes, lines);
    WriteLines(lines);
    fLastIn = now;
}

void TOutput::Sent(std::string_view Bytes) {
    if (!fEcho)
        return;
    std::lock_guard<std::mutex> lock(fLock);
    if (!fHex) {
        Write(Bytes);
        return;
    }
    std::vector<std::string> lines;
    fReceived.Flush(lines); // what came before this is shown before it
    fSent.Add(Bytes, lines);
    fSent.Flush(lines);
    WriteLines(lines);
}

void TOutput::Tick() {
    std::lock_guard<std::mutex> lock(fLock);
    FlushStale(GetTickCount64());
}

void TOutput::Flush() {
    std::lock_guard<std::mutex> lock(fLock);
    std::vector<std::string> lines;
    fReceived.Flush(lines);
    WriteLines(lines);
}

bool TOutput::Waiting() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fReceived.Pending();
}

void TOutput::FlushStale(ULONGLONG Now) {
    if (!fReceived.Pending() || Now - fLastIn < kHexIdleMs)
        return;
    std::vector<std::string> lines;
    fReceived.Flush(lines);
    WriteLines(lines);
}

void TOutput::WriteLines(const std::vector<std::string>& Lines) {
    std::string text;
    for (const std::string& line : Lines)
        text += line + "\r\n";
    Write(text);
}

void TOutput::Write(std::string_view Bytes) {
    while (!Bytes.empty() && fFailure == 0) {
        DWORD written = 0;
        if (!WriteFile(fHandle, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written,
                       nullptr)) {
            fFailure = GetLastError();
            return;
        }
        if (written == 0) {
            fFailure = ERROR_WRITE_FAULT;
            return;
        }
        Bytes.remove_prefix(written);
    }
}

TCapture::TCapture(TkvLogFile& Log) : fLog(Log) {
    fLog.SetOnFatalError(TOnFatalErrorEvent::Bind<&TCapture::Failed>(this));
}

void TCapture::Received(std::string_view Bytes) {
    Block(fIn, Bytes);
}

void TCapture::Sent(std::string_view Bytes) {
    Block(fOut, Bytes);
}

void TCapture::Note(const std::string& Text) {
    fLog.AddLog(dlDetail, L"kvterm: " + Utf8ToString(Text));
}

std::string TCapture::Failure() const {
    std::lock_guard<std::mutex> lock(fFailureLock);
    return fFailure;
}

void TCapture::Block(THexDump& Dump, std::string_view Bytes) {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(fLock);
    Dump.Add(Bytes, lines);
    Dump.Flush(lines);
    for (const std::string& line : lines)
        fLog.AddLog(dlDebug, Utf8ToString(line));
}

void TCapture::Failed(TObject*, std::uint32_t, std::uint32_t, const String& Message, bool& Raise) {
    Raise = false; // the session ends with the reason instead of its reader failing
    std::lock_guard<std::mutex> lock(fFailureLock);
    if (fFailure.empty())
        fFailure = StringToUtf8(Message);
}
