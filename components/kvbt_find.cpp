// TkvBT: a device found by its address or its name.
#include "components/kvbt.h"

namespace {

// Equal in Unicode's simple case folding, as Windows compares names.
bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

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
