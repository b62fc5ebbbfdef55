#include "sim/sim_worldfile.h"

#include "components/kvbt_address.h"
#include "toolkit/text.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace kvsim {

EWorldFileError::EWorldFileError(int Line, const std::string& Message)
    : std::runtime_error("line " + std::to_string(Line) + ": " + Message), fLine(Line) {}

namespace {

// One word of a line, quotes removed. Eq is the position of the first '=' outside
// quotes, or npos.
struct TToken {
    std::string Text;
    size_t Eq = std::string::npos;
};

class TParser {
public:
    explicit TParser(std::string_view text) : fText(text) {}

    TWorld Run() {
        if (fText.substr(0, 3) == "\xEF\xBB\xBF")
            fText.remove_prefix(3);
        while (!fText.empty()) {
            ++fLine;
            size_t end = fText.find('\n');
            std::string_view line = fText.substr(0, end);
            fText.remove_prefix(end == std::string_view::npos ? fText.size() : end + 1);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            ReadLine(line);
        }
        Finish();
        return std::move(fWorld);
    }

private:
    enum TSection { seNone, seWorld, seRadio, seDevice };

    struct TRadioRef {
        size_t Device;
        std::string Id;
        int Line;
    };

    std::string_view fText;
    int fLine = 0;
    TWorld fWorld;
    TSection fSection = seNone;
    int fSectionLine = 0;
    bool fHasAddress = false;
    std::set<std::string> fSeen; // single-valued settings of the current section
    std::map<std::string, int> fRadioIds;
    std::set<std::string> fDeviceIds;
    bool fWorldSeen = false;
    std::vector<TRadioRef> fRadioRefs;

    [[noreturn]] void Fail(const std::string& message) const {
        throw EWorldFileError(fLine, message);
    }

    static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

    std::vector<TToken> Tokenize(std::string_view line) const {
        std::vector<TToken> tokens;
        size_t i = 0;
        while (true) {
            while (i < line.size() && IsBlank(line[i]))
                ++i;
            if (i == line.size() || line[i] == '#')
                return tokens;
            TToken token;
            while (i < line.size() && !IsBlank(line[i])) {
                char c = line[i++];
                if (c == '=' && token.Eq == std::string::npos) {
                    token.Eq = token.Text.size();
                    token.Text += c;
                } else if (c == '"') {
                    while (true) {
                        if (i == line.size())
                            Fail("a quoted text without its closing quote");
                        c = line[i++];
                        if (c == '"')
                            break;
                        if (c == '\\') {
                            if (i == line.size() || (line[i] != '"' && line[i] != '\\'))
                                Fail("'\\' inside quotes must be followed by '\"' or '\\'");
                            c = line[i++];
                        }
                        token.Text += c;
                    }
                } else {
                    token.Text += c;
                }
            }
            tokens.push_back(std::move(token));
        }
    }

    void ReadLine(std::string_view line) {
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string_view::npos && line[first] == '[') {
            size_t close = line.find(']', first);
            size_t rest =
                close == std::string_view::npos ? close : line.find_first_not_of(" \t", close + 1);
            if (close == std::string_view::npos ||
                (rest != std::string_view::npos && line[rest] != '#'))
                Fail("a section header must be '[world]', '[radio ID]' or '[device ID]' alone on "
                     "its line");
            std::vector<TToken> words = Tokenize(line.substr(first + 1, close - first - 1));
            OpenSection(words);
            return;
        }
        std::vector<TToken> tokens = Tokenize(line);
        if (tokens.empty())
            return;
        std::string key = tokens[0].Text;
        tokens.erase(tokens.begin());
        switch (fSection) {
        case seNone:
            Fail("'" + key + "' before the first section");
        case seWorld:
            WorldSetting(key, tokens);
            break;
        case seRadio:
            RadioSetting(key, tokens);
            break;
        case seDevice:
            DeviceSetting(key, tokens);
            break;
        }
    }

    void CloseSection() {
        if ((fSection == seRadio || fSection == seDevice) && !fHasAddress)
            throw EWorldFileError(fSectionLine,
                                  std::string(fSection == seRadio ? "radio" : "device") +
                                      " without an address");
        if (fSection == seDevice) {
            const TDevice& device = fWorld.Devices.back();
            for (size_t d = 0; d + 1 < fWorld.Devices.size(); ++d)
                if (fWorld.Devices[d].Address == device.Address)
                    throw EWorldFileError(fSectionLine, "a second device with the address " +
                                                            AddressToText(device.Address));
        }
    }

    void OpenSection(const std::vector<TToken>& words) {
        CloseSection();
        fSectionLine = fLine;
        fHasAddress = false;
        fSeen.clear();
        if (words.size() == 1 && words[0].Text == "world") {
            if (fWorldSeen)
                Fail("a second [world] section");
            fWorldSeen = true;
            fSection = seWorld;
            return;
        }
        if (words.size() != 2 || (words[0].Text != "radio" && words[0].Text != "device"))
            Fail("a section header must be '[world]', '[radio ID]' or '[device ID]'");
        const std::string& id = words[1].Text;
        if (words[0].Text == "radio") {
            if (!fRadioIds.emplace(id, int(fWorld.Radios.size())).second)
                Fail("a second radio '" + id + "'");
            fWorld.Radios.emplace_back();
            fSection = seRadio;
        } else {
            if (!fDeviceIds.insert(id).second)
                Fail("a second device '" + id + "'");
            fWorld.Devices.emplace_back();
            fSection = seDevice;
        }
    }

    void Finish() {
        CloseSection();
        for (const TRadioRef& ref : fRadioRefs) {
            auto found = fRadioIds.find(ref.Id);
            if (found == fRadioIds.end())
                throw EWorldFileError(ref.Line, "no radio '" + ref.Id + "'");
            fWorld.Devices[ref.Device].Radios.push_back(found->second);
        }
    }

    // ---- values

    void Once(const std::string& key) {
        if (!fSeen.insert(key).second)
            Fail("'" + key + "' given twice in this section");
    }

    const std::string& One(const std::string& key, const std::vector<TToken>& values) const {
        if (values.size() != 1)
            Fail("'" + key + "' takes one value");
        return values[0].Text;
    }

    unsigned long long Number(const std::string& text, unsigned long long max) const {
        std::string_view digits = text;
        int base = 10;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits.remove_prefix(2);
            base = 16;
        }
        unsigned long long value = 0;
        auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
            Fail("'" + text + "' is not a number");
        if (value > max)
            Fail("'" + text + "' is larger than " + std::to_string(max));
        return value;
    }

    bool YesNo(const std::string& key, const std::vector<TToken>& values) const {
        const std::string& text = One(key, values);
        if (text == "yes")
            return true;
        if (text == "no")
            return false;
        Fail("'" + key + "' takes yes or no, not '" + text + "'");
    }

    String Name(const std::string& key, const std::vector<TToken>& values) const {
        String name = Utf8ToString(One(key, values));
        if (name.size() > BLUETOOTH_MAX_NAME_SIZE)
            Fail("'" + key + "' longer than 248 characters");
        return name;
    }

    BTH_ADDR Address(const std::string& text) const {
        BLUETOOTH_ADDRESS address{};
        if (!TextToBtAddress(Utf8ToString(text), address))
            Fail("'" + text + "' is not an address like 00:1A:7D:DA:71:13");
        return address.ullLong;
    }

    GUID ServiceClassOf(const std::string& text) const {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            GUID guid = ServiceClass16(0);
            guid.Data1 = static_cast<unsigned long>(Number(text, 0xFFFFFFFF));
            return guid;
        }
        std::string body = text;
        if (body.size() == 38 && body.front() == '{' && body.back() == '}')
            body = body.substr(1, 36);
        GUID guid{};
        unsigned char bytes[16];
        size_t b = 0;
        bool ok = body.size() == 36;
        for (size_t i = 0; ok && i < 36; ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                ok = body[i] == '-';
                continue;
            }
            unsigned value = 0;
            auto [end, error] = std::from_chars(body.data() + i, body.data() + i + 2, value, 16);
            ok = error == std::errc() && end == body.data() + i + 2;
            bytes[b++] = static_cast<unsigned char>(value);
            ++i;
        }
        if (!ok)
            Fail("'" + text +
                 "' is neither 0x1101-style nor {00001101-0000-1000-8000-00805F9B34FB}");
        guid.Data1 = static_cast<unsigned long>(bytes[0]) << 24 |
                     static_cast<unsigned long>(bytes[1]) << 16 |
                     static_cast<unsigned long>(bytes[2]) << 8 | bytes[3];
        guid.Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
        guid.Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
        for (int i = 0; i < 8; ++i)
            guid.Data4[i] = bytes[8 + i];
        return guid;
    }

    // "2024-03-01 12:30:05.250" (the milliseconds optional), or "none" for all zero.
    // Fields are kept as written, so a zero year or a 30 February can be expressed.
    SYSTEMTIME Time(const std::string& key, const std::vector<TToken>& values) const {
        SYSTEMTIME time{};
        if (values.size() == 1 && values[0].Text == "none")
            return time;
        if (values.size() != 2)
            Fail("'" + key + "' takes a date and a time like 2024-03-01 12:30:05.250, or none");
        auto fields = [&](const std::string& text, const char* separators,
                          std::vector<WORD*> into) {
            size_t start = 0;
            for (size_t f = 0; f < into.size(); ++f) {
                size_t end = f + 1 < into.size() ? text.find(separators[f], start) : text.size();
                if (end == std::string::npos)
                    Fail("'" + text +
                         "' is not a date like 2024-03-01 or a time like 12:30:05.250");
                std::string part = text.substr(start, end - start);
                if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
                    Fail("'" + text +
                         "' is not a date like 2024-03-01 or a time like 12:30:05.250");
                *into[f] = WORD(Number(part, 0xFFFF));
                start = end + 1;
            }
        };
        fields(values[0].Text, "--", {&time.wYear, &time.wMonth, &time.wDay});
        const std::string& clock = values[1].Text;
        if (clock.find('.') == std::string::npos)
            fields(clock, "::", {&time.wHour, &time.wMinute, &time.wSecond});
        else
            fields(clock, "::.", {&time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds});
        return time;
    }

    // ---- sections

    void WorldSetting(const std::string& key, const std::vector<TToken>& values) {
        TSettings& settings = fWorld.Settings;
        if (key == "missing_library") {
            std::string library = One(key, values);
            if (!IsSystemLibrary(Utf8ToString(library)))
                Fail("'missing_library' takes bthprops.cpl, irprops.cpl or Ws2_32.dll");
            settings.MissingLibraries.push_back(Utf8ToString(library));
            return;
        }
        if (key == "missing_export") {
            settings.MissingExports.push_back(One(key, values));
            return;
        }
        Once(key);
        if (key == "inquiry_scale") {
            const std::string& text = One(key, values);
            double scale = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), scale);
            // from_chars also reads "nan" and "inf", which no inquiry can wait for.
            if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(scale) ||
                scale < 0 || scale > kMaxInquiryScale)
                Fail("'inquiry_scale' takes a number from 0 to 100, not '" + text + "'");
            settings.InquiryScale = scale;
        } else if (key == "select") {
            if (values.size() == 1 && values[0].Text == "cancel")
                settings.Select = {TSelectOutcome::Cancel, 0, 0};
            else if (values.size() == 2 && values[0].Text == "pick")
                settings.Select = {TSelectOutcome::Pick, Address(values[1].Text), 0};
            else if (values.size() == 2 && values[0].Text == "fail")
                settings.Select = {TSelectOutcome::Fail, 0,
                                   DWORD(Number(values[1].Text, 0xFFFFFFFF))};
            else
                Fail("'select' takes cancel, pick ADDRESS or fail CODE");
        } else if (key == "pass_key") {
            settings.PassKey = Utf8ToString(One(key, values));
        } else if (key == "pairing_error") {
            settings.PairingError = DWORD(Number(One(key, values), 0xFFFFFFFF));
        } else if (key == "journal") {
            settings.JournalPath = Utf8ToString(One(key, values));
        } else if (key == "socket_error") {
            settings.SocketError = int(Number(One(key, values), 0x7FFFFFFF));
        } else {
            Fail("unknown setting '" + key + "' in [world]");
        }
    }

    void RadioSetting(const std::string& key, const std::vector<TToken>& values) {
        TRadio& radio = fWorld.Radios.back();
        Once(key);
        if (key == "name")
            radio.Name = Name(key, values);
        else if (key == "address") {
            radio.Address = Address(One(key, values));
            fHasAddress = true;
        } else if (key == "connectable")
            radio.Connectable = YesNo(key, values);
        else if (key == "discoverable")
            radio.Discoverable = YesNo(key, values);
        else if (key == "info_missing")
            radio.InfoMissing = YesNo(key, values);
        else
            Fail("unknown setting '" + key + "' in a radio");
    }

    void DeviceSetting(const std::string& key, const std::vector<TToken>& values) {
        TDevice& device = fWorld.Devices.back();
        if (key == "service") {
            device.Services.push_back(Service(values));
            return;
        }
        Once(key);
        if (key == "name")
            device.Name = Name(key, values);
        else if (key == "address") {
            device.Address = Address(One(key, values));
            fHasAddress = true;
        } else if (key == "class")
            device.ClassOfDevice = ULONG(Number(One(key, values), 0xFFFFFFFF));
        else if (key == "radios") {
            if (values.empty())
                Fail("'radios' takes one or more radio names");
            for (const TToken& value : values)
                fRadioRefs.push_back({fWorld.Devices.size() - 1, value.Text, fLine});
        } else if (key == "authenticated")
            device.Authenticated = YesNo(key, values);
        else if (key == "remembered")
            device.Remembered = YesNo(key, values);
        else if (key == "connected")
            device.Connected = YesNo(key, values);
        else if (key == "inquiry_only")
            device.InquiryOnly = YesNo(key, values);
        else if (key == "last_seen")
            device.LastSeen = Time(key, values);
        else if (key == "last_used")
            device.LastUsed = Time(key, values);
        else if (key == "lookup_fail") {
            if (values.size() != 2)
                Fail("'lookup_fail' takes a service class and a Winsock code");
            device.LookupFailClass = ServiceClassOf(values[0].Text);
            device.LookupFailCode = int(Number(values[1].Text, 0x7FFFFFFF));
            if (device.LookupFailCode == 0)
                Fail("'lookup_fail' needs a non-zero Winsock code");
        } else if (key == "lookup_delay")
            device.LookupDelayMs = DWORD(Number(One(key, values), 600000));
        else
            Fail("unknown setting '" + key + "' in a device");
    }

    TService Service(const std::vector<TToken>& options) const {
        TService service;
        bool hasClass = false;
        std::set<std::string> seen;
        for (const TToken& option : options) {
            if (option.Eq == std::string::npos)
                Fail("service options are written name=value, not '" + option.Text + "'");
            std::string name = option.Text.substr(0, option.Eq);
            std::string value = option.Text.substr(option.Eq + 1);
            if (!seen.insert(name).second)
                Fail("service option '" + name + "' given twice");
            TPeer& peer = service.Peer;
            if (name == "class") {
                service.ServiceClass = ServiceClassOf(value);
                hasClass = true;
            } else if (name == "channel") {
                service.Channel = ULONG(Number(value, 30));
                if (service.Channel == 0)
                    Fail("'channel' must be 1 to 30");
            } else if (name == "name")
                service.Name = Utf8ToString(value);
            else if (name == "comment")
                service.Comment = Utf8ToString(value);
            else if (name == "large")
                service.Large = YesNo(name, {TToken{value}});
            else if (name == "peer") {
                if (value == "echo")
                    peer.Kind = TPeerKind::Echo;
                else if (value == "modem")
                    peer.Kind = TPeerKind::Modem;
                else if (value == "silent")
                    peer.Kind = TPeerKind::Silent;
                else if (value == "external")
                    peer.Kind = TPeerKind::External;
                else
                    Fail("'peer' takes echo, modem, silent or external, not '" + value + "'");
            } else if (name == "port")
                peer.ExternalPort = static_cast<unsigned short>(Number(value, 0xFFFF));
            else if (name == "fail")
                peer.ConnectError = int(Number(value, 0x7FFFFFFF));
            else if (name == "delay")
                peer.ConnectDelayMs = DWORD(Number(value, 600000));
            else if (name == "drop_after")
                peer.DropAfter = static_cast<long long>(Number(value, 1ull << 62));
            else if (name == "stall_after")
                peer.StallAfter = static_cast<long long>(Number(value, 1ull << 62));
            else
                Fail("unknown service option '" + name + "'");
        }
        if (!hasClass)
            Fail("a service needs class=");
        if (!seen.count("channel"))
            Fail("a service needs channel=");
        if ((service.Peer.Kind == TPeerKind::External) != (service.Peer.ExternalPort != 0))
            Fail("'port' goes with peer=external, and peer=external needs a port");
        return service;
    }
};

} // namespace

TWorld ParseWorld(std::string_view Text) {
    return TParser(Text).Run();
}

TWorld LoadWorldFile(const std::wstring& Path) {
    std::ifstream file(std::filesystem::path(Path), std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read the world file " + StringToUtf8(Path));
    std::ostringstream text;
    text << file.rdbuf();
    return ParseWorld(text.str());
}

TWorld DefaultWorld() {
    return ParseWorld(DefaultWorldText());
}

} // namespace kvsim
