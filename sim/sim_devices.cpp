// The device search: which devices a search record asks for, through which radio, and
// the inquiry's wait.
#include "sim/sim_functions.h"
#include "sim/sim_state.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kvsim::detail {

TDevice* DeviceAt(TState& State, BTH_ADDR Address) {
    for (TDevice& device : State.World.Devices)
        if (device.Address == Address)
            return &device;
    return nullptr;
}

BLUETOOTH_DEVICE_INFO DeviceInfo(const TDevice& Device) {
    BLUETOOTH_DEVICE_INFO info{};
    info.dwSize = sizeof info;
    info.Address.ullLong = Device.Address;
    info.ulClassofDevice = Device.ClassOfDevice;
    info.fConnected = Device.Connected;
    info.fRemembered = Device.Remembered;
    info.fAuthenticated = Device.Authenticated;
    info.stLastSeen = Device.LastSeen;
    info.stLastUsed = Device.LastUsed;
    std::copy_n(Device.Name.begin(), std::min<size_t>(Device.Name.size(), BLUETOOTH_MAX_NAME_SIZE),
                info.szName);
    return info;
}

namespace {

// The longest inquiry the platform takes, in units of 1.28 s.
constexpr UCHAR kMaxTimeoutMultiplier = 48;

// Radio: the searched radio's position, or -1 for all radios.
bool Wanted(const TDevice& device, const BLUETOOTH_DEVICE_SEARCH_PARAMS& search, int radio) {
    bool reported = radio < 0 ? !device.Radios.empty()
                              : std::find(device.Radios.begin(), device.Radios.end(), radio) !=
                                    device.Radios.end();
    // An inquiry of length 0 finds nothing new.
    bool inquiry = search.fIssueInquiry && search.cTimeoutMultiplier > 0;
    if (!reported || (device.InquiryOnly && !inquiry))
        return false;
    bool unknown = !device.Remembered && !device.Authenticated;
    return (search.fReturnAuthenticated && device.Authenticated) ||
           (search.fReturnRemembered && device.Remembered) || (search.fReturnUnknown && unknown) ||
           (search.fReturnConnected && device.Connected);
}

} // namespace

HBLUETOOTH_DEVICE_FIND WINAPI FindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                              BLUETOOTH_DEVICE_INFO* pbtdi) {
    // First the record is kept and checked, then the inquiry runs outside the lock, then
    // the devices are found.
    auto inquiryMs = Call<std::optional<DWORD>>(
        std::nullopt, [&](TState& state, DWORD& error) -> std::optional<DWORD> {
            if (!pbtsp) {
                error = ERROR_INVALID_PARAMETER;
                return std::nullopt;
            }
            BLUETOOTH_DEVICE_SEARCH_PARAMS copy{};
            std::memcpy(&copy, pbtsp, std::min<size_t>(pbtsp->dwSize, sizeof copy));
            state.Searches.push_back(copy);
            error = pbtdi ? CheckRecord(pbtsp) : ERROR_INVALID_PARAMETER;
            if (error == 0)
                error = CheckRecord(pbtdi);
            if (error == 0 && pbtsp->fIssueInquiry &&
                pbtsp->cTimeoutMultiplier > kMaxTimeoutMultiplier)
                error = ERROR_INVALID_PARAMETER;
            if (error != 0)
                return std::nullopt;
            if (!pbtsp->fIssueInquiry)
                return 0;
            return DWORD(pbtsp->cTimeoutMultiplier * 1280.0 * state.World.Settings.InquiryScale);
        });
    if (!inquiryMs)
        return nullptr;
    if (*inquiryMs > 0)
        Sleep(*inquiryMs);
    return Call<HBLUETOOTH_DEVICE_FIND>(
        nullptr, [&](TState& state, DWORD& error) -> HBLUETOOTH_DEVICE_FIND {
            int radio = -1;
            if (pbtsp->hRadio && (radio = RadioOf(state, pbtsp->hRadio)) < 0) {
                error = ERROR_INVALID_HANDLE;
                return nullptr;
            }
            auto find = std::make_unique<TDeviceFind>();
            for (const TDevice& device : state.World.Devices)
                if (Wanted(device, *pbtsp, radio))
                    find->Found.push_back(DeviceInfo(device));
            if (find->Found.empty()) {
                error = ERROR_NO_MORE_ITEMS;
                return nullptr;
            }
            *pbtdi = find->Found.front();
            return Add(state.DeviceFinds, std::move(find));
        });
}

WINBOOL WINAPI FindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        TDeviceFind* find = Find(state.DeviceFinds, hFind);
        error = find ? CheckRecord(pbtdi) : ERROR_INVALID_HANDLE;
        if (error != 0)
            return FALSE;
        if (find->Next >= find->Found.size()) {
            error = ERROR_NO_MORE_ITEMS;
            return FALSE;
        }
        *pbtdi = find->Found[find->Next++];
        return TRUE;
    });
}

WINBOOL WINAPI FindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        if (state.DeviceFinds.erase(hFind) == 0) {
            error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        return TRUE;
    });
}

} // namespace kvsim::detail
