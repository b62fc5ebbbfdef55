#include "sim/sim_world.h"

#include "components/kvbt_address.h"
#include "toolkit/text.h"

#include <stdexcept>

namespace kvsim {

GUID ServiceClass16(unsigned short Uuid16) {
    return {Uuid16, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
}

std::string AddressToText(BTH_ADDR Address) {
    BLUETOOTH_ADDRESS address{};
    address.ullLong = Address;
    return StringToUtf8(BtAddressToText(address));
}

bool IsSystemLibrary(const std::wstring& Name) {
    for (const wchar_t* library : kSystemLibraries)
        if (SameText(Name, library))
            return true;
    return false;
}

void CheckWorld(const TWorld& World) {
    auto fail = [](const std::string& what) { throw std::invalid_argument(what); };
    for (size_t r = 0; r < World.Radios.size(); ++r)
        if (World.Radios[r].Name.size() > BLUETOOTH_MAX_NAME_SIZE)
            fail("radio " + std::to_string(r) + ": name longer than 248 characters");
    for (size_t d = 0; d < World.Devices.size(); ++d) {
        const TDevice& device = World.Devices[d];
        std::string which =
            "device " + std::to_string(d) + " (" + AddressToText(device.Address) + ")";
        if (device.Name.size() > BLUETOOTH_MAX_NAME_SIZE)
            fail(which + ": name longer than 248 characters");
        for (int r : device.Radios)
            if (r < 0 || size_t(r) >= World.Radios.size())
                fail(which + ": no radio at position " + std::to_string(r));
        for (size_t e = 0; e < d; ++e)
            if (World.Devices[e].Address == device.Address)
                fail(which + ": the address of device " + std::to_string(e) + " again");
        for (const TService& service : device.Services) {
            if (service.Channel < 1 || service.Channel > 30)
                fail(which + ": channel " + std::to_string(service.Channel) + " outside 1 to 30");
            if (service.Peer.Kind == TPeerKind::External && service.Peer.ExternalPort == 0)
                fail(which + ": an external peer without a port");
        }
    }
    if (!(World.Settings.InquiryScale >= 0 && World.Settings.InquiryScale <= kMaxInquiryScale))
        fail("an inquiry scale outside 0 to 100");
    for (const std::wstring& library : World.Settings.MissingLibraries)
        if (!IsSystemLibrary(library))
            fail("missing library '" + StringToUtf8(library) +
                 "': not bthprops.cpl, irprops.cpl or Ws2_32.dll");
}

} // namespace kvsim
