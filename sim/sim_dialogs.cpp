// The system dialogs and pairing. No window appears: each call is recorded for tests
// and answered as the world's settings say.
#include "sim/sim_functions.h"
#include "sim/sim_state.h"

#include "toolkit/text.h"

#include <filesystem>
#include <fstream>

namespace kvsim::detail {

namespace {

// Appends one line to the world's journal file, when it names one. A journal that
// cannot be written does not change what the call answers.
void Journal(const TState& state, const std::string& line) {
    const std::wstring& path = state.World.Settings.JournalPath;
    if (path.empty())
        return;
    std::ofstream file(std::filesystem::path(path), std::ios::app | std::ios::binary);
    file << line << '\n';
}

std::string Flag(const char* name, BOOL value) {
    return std::string(" ") + name + "=" + std::to_string(value);
}

} // namespace

WINBOOL WINAPI DisplayDeviceProperties(HWND hwndParent, BLUETOOTH_DEVICE_INFO* pbtdi) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        if ((error = CheckRecord(pbtdi)) != 0)
            return FALSE;
        state.PropertiesCalls.push_back({hwndParent, pbtdi->Address.ullLong});
        Journal(state, "properties address=" + AddressToText(pbtdi->Address.ullLong));
        return TRUE;
    });
}

WINBOOL WINAPI SelectDevices(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        if ((error = CheckRecord(pbtsdp)) != 0)
            return FALSE;
        state.SelectCalls.push_back({*pbtsdp, pbtsdp->pszInfo ? pbtsdp->pszInfo : L""});
        const BLUETOOTH_SELECT_DEVICE_PARAMS& p = *pbtsdp;
        Journal(state, "select info=\"" + StringToUtf8(state.SelectCalls.back().Info) + "\"" +
                           Flag("force_auth", p.fForceAuthentication) +
                           Flag("show_authenticated", p.fShowAuthenticated) +
                           Flag("show_remembered", p.fShowRemembered) +
                           Flag("show_unknown", p.fShowUnknown) +
                           Flag("add_wizard", p.fAddNewDeviceWizard) +
                           Flag("skip_services", p.fSkipServicesPage));
        const TSelectOutcome& outcome = state.World.Settings.Select;
        if (outcome.Kind == TSelectOutcome::Cancel) {
            error = ERROR_CANCELLED;
            return FALSE;
        }
        if (outcome.Kind == TSelectOutcome::Fail) {
            error = outcome.Error;
            return FALSE;
        }
        auto picked = std::make_unique<BLUETOOTH_DEVICE_INFO[]>(1);
        if (const TDevice* device = DeviceAt(state, outcome.Address)) {
            picked[0] = DeviceInfo(*device);
        } else {
            picked[0].dwSize = sizeof picked[0];
            picked[0].Address.ullLong = outcome.Address;
        }
        pbtsdp->pDevices = picked.get();
        pbtsdp->cNumDevices = 1;
        state.Selections.emplace(picked.get(), std::move(picked));
        return TRUE;
    });
}

WINBOOL WINAPI SelectDevicesFree(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        if (!pbtsdp || state.Selections.erase(pbtsdp->pDevices) == 0) {
            error = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        pbtsdp->pDevices = nullptr;
        pbtsdp->cNumDevices = 0;
        return TRUE;
    });
}

// Pairing succeeds for the world's pass key (a null key counts as empty); the device is
// then authenticated and remembered. Any other key gives the world's pairing error.
DWORD WINAPI AuthenticateDevice(HWND hwndParent, HANDLE hRadio, BLUETOOTH_DEVICE_INFO* pbtdi,
                                PWSTR pszPasskey, ULONG ulPasskeyLength) {
    return Call<DWORD>(ERROR_SERVICE_NOT_ACTIVE, [&](TState& state, DWORD&) -> DWORD {
        std::wstring key = pszPasskey ? std::wstring(pszPasskey, ulPasskeyLength) : L"";
        DWORD refused = CheckRecord(pbtdi);
        BTH_ADDR address = refused ? 0 : pbtdi->Address.ullLong;
        state.PairingCalls.push_back(
            {hwndParent, hRadio, address, pszPasskey == nullptr, key, ulPasskeyLength});
        Journal(state, "pairing address=" + AddressToText(address) + " key=\"" + StringToUtf8(key) +
                           "\" key_null=" + (pszPasskey ? "no" : "yes") +
                           " length=" + std::to_string(ulPasskeyLength));
        if (refused)
            return refused;
        if (hRadio && RadioOf(state, hRadio) < 0)
            return ERROR_INVALID_HANDLE;
        TDevice* device = DeviceAt(state, pbtdi->Address.ullLong);
        if (!device)
            return ERROR_NOT_FOUND;
        if (key != state.World.Settings.PassKey)
            return state.World.Settings.PairingError;
        device->Authenticated = device->Remembered = true;
        return ERROR_SUCCESS;
    });
}

} // namespace kvsim::detail
