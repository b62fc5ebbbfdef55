#include "kvterm/options.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

const char* const kUsage =
    R"(usage: kvterm list [--scan SECONDS]
       kvterm services DEVICE
       kvterm connect DEVICE [options]
       kvterm --help
Every command also takes --world FILE: the simulated Bluetooth stack with that world
instead of the system's.

  list               the local radios, then the devices they know: address, name,
                     class of device, flags (tab-separated); --scan also runs an
                     inquiry of SECONDS (2 to 57) and lists what it finds
  services DEVICE    the device's services: name, service class, RFCOMM channel
  connect DEVICE     a terminal: what the device sends goes to standard output,
                     standard input goes to the device

DEVICE is an address (00:1A:7D:DA:71:13, also without colons) or a name: the device
whose name is exactly that (case ignored), else the one whose name begins so.

connect options:
  --service NAME|CLASS  the service, by its name or its class (0x1101 or a GUID);
                        default: Serial Port, else the device's first. The connection
                        is made to the service's class, and the system picks the
                        channel: of two services of one class, the first is used
  --eol cr|lf|crlf      what a line end of the input becomes (default: unchanged; on a
                        console, Enter sends CR)
  --echo                also show what is sent
  --hex                 show received bytes as hex-dump lines: offset, 16 bytes, text
  --log FILE            append a capture: each block in and out, with the time, and the
                        connection's own log lines
  --timeout MS          time limit of the connect
  --reconnect           when a connect fails or the link drops, connect again (1, 2, 4
                        ... at most 30 s apart) until stopped
  --idle-exit MS        end once standard input has ended, all of it has been sent and
                        nothing has arrived for MS milliseconds
  --escape KEY          the key that ends a console session (default Ctrl+])

On a console, keys go to the device as they are typed: Ctrl+C too, Backspace as DEL,
cursor and function keys as VT sequences; the escape key ends. Otherwise standard input
is sent as it comes, and Ctrl+C ends.

Exit codes: 0 ended by the user, by --idle-exit, or by the device once standard input
had ended and been sent; 1 could not connect (or list, or look the services up);
2 bad command line; 3 the link ended otherwise, or standard output failed.
)";

namespace {

[[noreturn]] void Bad(const std::string& Message) {
    throw EExit(ecUsage, Message, true);
}

// A decimal number from 0 to Most.
std::uint32_t Number(const String& Option, const String& Text, std::uint32_t Most) {
    unsigned long long value = 0;
    bool fits = !Text.empty() && Text.size() <= 10;
    for (wchar_t c : Text) {
        if (c < L'0' || c > L'9') {
            fits = false;
            break;
        }
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (!fits || value > Most)
        Bad(StringToUtf8(Option) + " takes a number from 0 to " + std::to_string(Most) + ", not '" +
            StringToUtf8(Text) + "'");
    return static_cast<std::uint32_t>(value);
}

std::string Lower(const String& Text) {
    std::string s = StringToUtf8(Text);
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

bool ParseEscapeKey(const String& Text, wchar_t& Char) {
    const std::string text = Lower(Text);
    std::string key;
    for (const char* prefix : {"ctrl+", "ctrl-", "^"})
        if (text.rfind(prefix, 0) == 0)
            key = text.substr(std::char_traits<char>::length(prefix));
    if (key.size() != 1)
        return false;
    const char c = key[0];
    if (c >= 'a' && c <= 'z')
        Char = static_cast<wchar_t>(c - 'a' + 1);
    else if (c >= '[' && c <= '_')
        Char = static_cast<wchar_t>(c - '@');
    else
        return false;
    return true;
}

TOptions ParseCommandLine(const std::vector<String>& Arguments) {
    TOptions o;
    if (Arguments.empty())
        Bad("no command");
    const String& command = Arguments[0];
    if (command == L"--help" || command == L"-h" || command == L"help")
        return o;
    if (command == L"list")
        o.Command = TCommand::List;
    else if (command == L"services")
        o.Command = TCommand::Services;
    else if (command == L"connect")
        o.Command = TCommand::Connect;
    else
        Bad("unknown command '" + StringToUtf8(command) + "'");

    const bool connect = o.Command == TCommand::Connect;
    for (size_t i = 1; i < Arguments.size(); ++i) {
        const String& a = Arguments[i];
        // The value of an option that takes one.
        auto value = [&]() -> const String& {
            if (i + 1 >= Arguments.size())
                Bad(StringToUtf8(a) + " needs a value");
            return Arguments[++i];
        };
        auto connectOnly = [&] {
            if (!connect)
                Bad(StringToUtf8(a) + " belongs to the connect command");
        };
        if (a == L"--world") {
            o.World = value();
        } else if (a == L"--scan") {
            if (o.Command != TCommand::List)
                Bad("--scan belongs to the list command");
            o.ScanSeconds = static_cast<int>(Number(a, value(), 57));
            if (o.ScanSeconds < 2)
                Bad("--scan takes 2 to 57 seconds");
        } else if (a == L"--service") {
            connectOnly();
            o.Service = value();
            if (o.Service.empty())
                Bad("--service needs a name or a class");
        } else if (a == L"--eol") {
            connectOnly();
            const std::string eol = Lower(value());
            static const std::pair<std::string_view, std::string_view> kEols[] = {
                {"cr", "\r"}, {"lf", "\n"}, {"crlf", "\r\n"}};
            auto known = std::find_if(std::begin(kEols), std::end(kEols),
                                      [&](const auto& e) { return e.first == eol; });
            if (known == std::end(kEols))
                Bad("--eol takes cr, lf or crlf, not '" + eol + "'");
            o.Eol = known->second;
        } else if (a == L"--echo") {
            connectOnly();
            o.Echo = true;
        } else if (a == L"--hex") {
            connectOnly();
            o.Hex = true;
        } else if (a == L"--log") {
            connectOnly();
            o.LogFile = value();
            if (o.LogFile.empty())
                Bad("--log needs a file name");
        } else if (a == L"--timeout") {
            connectOnly();
            o.TimeoutMs = Number(a, value(), std::numeric_limits<std::int32_t>::max());
        } else if (a == L"--reconnect") {
            connectOnly();
            o.Reconnect = true;
        } else if (a == L"--idle-exit") {
            connectOnly();
            o.IdleExit = true;
            o.IdleExitMs = Number(a, value(), std::numeric_limits<std::int32_t>::max());
        } else if (a == L"--escape") {
            connectOnly();
            const String& key = value();
            if (!ParseEscapeKey(key, o.EscapeChar))
                Bad("--escape takes Ctrl+ and a letter or one of [\\]^_, not '" +
                    StringToUtf8(key) + "'");
            o.EscapeName = "Ctrl+" + std::string(1, static_cast<char>(o.EscapeChar + '@'));
        } else if (a.size() > 1 && a[0] == L'-') {
            Bad("unknown option '" + StringToUtf8(a) + "'");
        } else if (o.Command != TCommand::List && o.Device.empty()) {
            o.Device = a;
        } else {
            Bad("one argument too many: '" + StringToUtf8(a) + "'");
        }
    }
    if (o.Command != TCommand::List && o.Device.empty())
        Bad(StringToUtf8(command) + " needs a DEVICE");
    return o;
}
