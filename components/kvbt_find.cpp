// TkvBT: a device found by its address or its name.
#include "components/kvbt.h"
#include "components/kvsysutils.h"

std::vector<int> TkvBT::FindDevices(const String& Text) const {
    if (Text.empty())
        return {};
    BLUETOOTH_ADDRESS address{};
    if (TextToBtAddress(Text, address))
        if (int index = IndexOfAddress(address); index >= 0)
            return {index};
    // Each device at its first entry only: a device that two radios report is listed twice.
    auto collect = [&](auto fits) {
        std::vector<int> found;
        for (int i = 0; i < DeviceCount(); ++i) {
            const TkvBTDevice* device = GetBTDevice(i);
            if (fits(device->NameFriendly) && IndexOfAddress(device->Address) == i)
                found.push_back(i);
        }
        return found;
    };
    std::vector<int> found = collect([&](const String& name) { return SameName(name, Text); });
    if (found.empty())
        found = collect([&](const String& name) {
            return name.size() >= Text.size() &&
                   SameName(std::wstring_view(name).substr(0, Text.size()), Text);
        });
    return found;
}
