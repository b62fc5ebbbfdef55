#include "kvterm/devices.h"

#include "components/kvsysutils.h"

#include <cstdio>
#include <cstring>

#include <objbase.h>

namespace {

// The Bluetooth base UUID: a short UUID is its first 32 bits.
const GUID kBaseUuid = {0, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

// One line of the output, ended by CR LF as text lines on Windows are.
void WriteLine(const std::string& Line) {
    std::fwrite(Line.data(), 1, Line.size(), stdout);
    std::fwrite("\r\n", 1, 2, stdout);
}

std::string Utf8(const String& Text) {
    return StringToUtf8(Text);
}

// The RFCOMM channel of a service's record, as text; "-" when it carries none.
std::string Channel(const TkvBTService& Service) {
    const WSAQUERYSETA record = Service.QuerySet();
    if (!record.lpcsaBuffer || record.dwNumberOfCsAddrs == 0)
        return "-";
    const SOCKET_ADDRESS& remote = record.lpcsaBuffer[0].RemoteAddr;
    if (!remote.lpSockaddr || remote.iSockaddrLength < static_cast<int>(sizeof(SOCKADDR_BTH)))
        return "-";
    return std::to_string(reinterpret_cast<const SOCKADDR_BTH*>(remote.lpSockaddr)->port);
}

// "Serial Port (0x1101), Echo (0x1101)".
std::string ServiceNames(const TkvBTDevice& Device) {
    std::string names;
    for (int i = 0; i < Device.ServiceCount(); ++i) {
        const TkvBTService* s = Device.GetServices(i);
        names += (i ? ", " : "") + Utf8(s->Caption()) + " (" + ServiceClassText(s->Guid()) + ")";
    }
    return names;
}

} // namespace

std::string DeviceText(const TkvBTDevice& Device) {
    return Utf8(Device.NameFriendly) + " (" + Utf8(BtAddressToText(Device.Address)) + ")";
}

std::string ServiceClassText(const GUID& Class) {
    if (std::memcmp(&Class.Data2, &kBaseUuid.Data2, sizeof(GUID) - sizeof Class.Data1) != 0)
        return Utf8(GuidToString(Class));
    char text[16];
    std::snprintf(text, sizeof text, Class.Data1 <= 0xFFFF ? "0x%04lX" : "0x%08lX",
                  static_cast<unsigned long>(Class.Data1));
    return text;
}

bool TextToServiceClass(const String& Text, GUID& Class) {
    if (Text.size() > 2 && Text[0] == L'0' && (Text[1] == L'x' || Text[1] == L'X')) {
        if (Text.size() > 10)
            return false;
        unsigned long value = 0;
        for (size_t i = 2; i < Text.size(); ++i) {
            const wchar_t c = Text[i];
            const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                              : c >= L'a' && c <= L'f' ? c - L'a' + 10
                              : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                       : -1;
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned long>(digit);
        }
        Class = kBaseUuid;
        Class.Data1 = value;
        return true;
    }
    String braced = !Text.empty() && Text[0] == L'{' ? Text : L"{" + Text + L"}";
    return braced.size() == 38 && SUCCEEDED(IIDFromString(braced.c_str(), &Class));
}

TExitCode ListCommand(const TOptions& Options) {
    if (!LoadBtApi())
        throw EExit(ecNoConnection, "this system offers no Bluetooth functions");
    TkvBT bt(nullptr);
    if (Options.ScanSeconds > 0) {
        bt.SetDeviceEnum({bteAuthenticated, bteRemembered, bteUnknown, bteConnected,
                          bteIssueInquiry, bteAllRadios});
        bt.SetDeviceEnumTimeout(Options.ScanSeconds);
    }
    bt.Update();
    for (int i = 0; i < bt.RadioCount(); ++i) {
        const TkvBTRadio* radio = bt.GetRadio(i);
        WriteLine("radio\t" + Utf8(BtAddressToText(radio->Address)) + "\t" +
                  Utf8(radio->NameFriendly));
    }
    for (int i = 0; i < bt.DeviceCount(); ++i) {
        const TkvBTDevice* device = bt.GetBTDevice(i);
        if (bt.IndexOfAddress(device->Address) != i)
            continue; // listed already: another radio reports it too
        const BLUETOOTH_DEVICE_INFO& info = device->btInfo;
        std::string flags;
        for (auto [flag, name] :
             {std::pair{info.fAuthenticated, "authenticated"},
              std::pair{info.fRemembered, "remembered"}, std::pair{info.fConnected, "connected"}})
            if (flag) {
                if (!flags.empty())
                    flags += ',';
                flags += name;
            }
        char deviceClass[16];
        std::snprintf(deviceClass, sizeof deviceClass, "0x%06lX",
                      static_cast<unsigned long>(info.ulClassofDevice));
        WriteLine("device\t" + Utf8(BtAddressToText(device->Address)) + "\t" +
                  Utf8(device->NameFriendly) + "\t" + deviceClass + "\t" +
                  (flags.empty() ? "-" : flags));
    }
    return ecDone;
}

int FindDevice(const TkvBT& Bt, const String& Text) {
    std::vector<int> found = Bt.FindDevices(Text);
    if (found.size() == 1)
        return found[0];
    if (found.empty())
        throw EExit(ecNoConnection, "no device '" + Utf8(Text) +
                                        "' among those the radios know (kvterm list shows them)");
    std::string message =
        "several devices are named '" + Utf8(Text) + "'; give more of the name, or the address:";
    for (int i : found)
        message += "\n  " + DeviceText(*Bt.GetBTDevice(i));
    throw EExit(ecUsage, message);
}

void LookUpServices(TkvBTDevice& Device) {
    Device.Update();
    if (Device.ServiceCount() == 0 && Device.fLastError != 0)
        throw EExit(ecNoConnection, "the service lookup of " + DeviceText(Device) + " failed: " +
                                        Utf8(SystemMessage(static_cast<DWORD>(Device.fLastError))) +
                                        " (" + std::to_string(Device.fLastError) + ")");
}

int ChooseService(const TkvBTDevice& Device, const String& Text) {
    if (Device.ServiceCount() == 0)
        throw EExit(ecNoConnection, DeviceText(Device) + " offers no services");
    GUID wanted = kBaseUuid;
    wanted.Data1 = 0x1101; // Serial Port
    const bool byClass = Text.empty() || TextToServiceClass(Text, wanted);
    for (int i = 0; i < Device.ServiceCount(); ++i) {
        const TkvBTService* s = Device.GetServices(i);
        if (byClass ? IsEqualGUID(s->Guid(), wanted) : SameName(s->Caption(), Text))
            return i;
    }
    if (Text.empty())
        return 0;
    throw EExit(ecNoConnection, DeviceText(Device) + " has no service '" + Utf8(Text) +
                                    "'; it offers " + ServiceNames(Device));
}

TExitCode ServicesCommand(const TOptions& Options) {
    TkvBT bt(nullptr);
    bt.Update();
    TkvBTDevice& device = *bt.GetBTDevice(FindDevice(bt, Options.Device));
    LookUpServices(device);
    for (int i = 0; i < device.ServiceCount(); ++i) {
        const TkvBTService* s = device.GetServices(i);
        WriteLine(Utf8(s->Caption()) + "\t" + ServiceClassText(s->Guid()) + "\t" + Channel(*s));
    }
    if (device.fLastError != 0) {
        std::fprintf(stderr, "kvterm: the service lookup of %s ended early: %s (%d)\n",
                     DeviceText(device).c_str(),
                     Utf8(SystemMessage(static_cast<DWORD>(device.fLastError))).c_str(),
                     device.fLastError);
        return ecNoConnection;
    }
    return ecDone;
}
