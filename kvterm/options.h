#pragma once
// kvterm's command line: the commands, their options, and how the program ends.

#include "toolkit/text.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The exit codes.
enum TExitCode : int {
    ecDone = 0,         // ended by the user, by --idle-exit, or by the device after the input
    ecNoConnection = 1, // could not connect (nor list, nor look services up)
    ecUsage = 2,        // bad command line
    ecLinkEnded = 3,    // the link ended otherwise, or the output could not be written
};

// Ends the program with Code and the message on standard error; with ShowUsage the
// usage follows it.
class EExit : public std::runtime_error {
public:
    EExit(TExitCode Code, const std::string& Message, bool ShowUsage = false)
        : std::runtime_error(Message), Code(Code), ShowUsage(ShowUsage) {}
    TExitCode Code;
    bool ShowUsage;
};

enum class TCommand { Help, List, Services, Connect };

struct TOptions {
    TCommand Command = TCommand::Help;
    String World;        // empty: the system's Bluetooth stack
    int ScanSeconds = 0; // list: 0, or the inquiry's length
    String Device;       // services, connect
    String Service;      // connect: a name or a class; empty: the default choice
    std::string Eol;     // what an input line end becomes; empty: unchanged
    bool Echo = false;
    bool Hex = false;
    String LogFile;
    std::uint32_t TimeoutMs = 0; // 0: the platform's own limit
    bool Reconnect = false;
    bool IdleExit = false;
    std::uint32_t IdleExitMs = 0;
    wchar_t EscapeChar = 0x1D; // the character of the key that ends a console session
    std::string EscapeName = "Ctrl+]";
};

// Reads the arguments that follow the program's name; throws EExit (ecUsage, with the
// usage) for anything it cannot read.
TOptions ParseCommandLine(const std::vector<String>& Arguments);

// The key that --escape names: "Ctrl+X", "Ctrl-X" or "^X", X a letter or one of [\]^_,
// case ignored; its character (X's control code). False for anything else, Ctrl+@ too:
// its character, NUL, is what a console reports for keys with none.
bool ParseEscapeKey(const String& Text, wchar_t& Char);

// The usage text, lines ended by "\n".
extern const char* const kUsage;
