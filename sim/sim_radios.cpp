// The local radios: their search, information and the two states the setters change.
// Radio handles are real event handles, one per delivery, so that a caller may close
// every handle it receives; each event has a name of its own, by which the ledger tells
// whether its handle is still open.
#include "sim/sim_functions.h"
#include "sim/sim_state.h"

#include <algorithm>
#include <string>

namespace kvsim::detail {

int RadioOf(TState& State, HANDLE Radio) {
    auto found = State.RadioHandles.find(Radio);
    if (found == State.RadioHandles.end())
        return -1;
    DWORD flags = 0;
    if (!GetHandleInformation(Radio, &flags)) { // closed by its receiver
        State.RadioHandles.erase(found);
        return -1;
    }
    return found->second;
}

HANDLE DeliverRadio(TState& State, int Position) {
    static unsigned long long deliveries = 0;
    std::wstring name = L"kvsim radio " + std::to_wstring(GetCurrentProcessId()) + L"." +
                        std::to_wstring(++deliveries);
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (handle) {
        State.RadioHandles[handle] = Position;
        Ledger().Radios.push_back(name);
    }
    return handle;
}

namespace {

// The radios a handle names: all for null (as the platform reads it), else its own.
bool ForRadios(TState& state, HANDLE radio, DWORD& error, auto each) {
    if (!radio) {
        for (TRadio& r : state.World.Radios)
            each(r);
        return true;
    }
    int position = RadioOf(state, radio);
    if (position < 0) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    each(state.World.Radios[size_t(position)]);
    return true;
}

} // namespace

HBLUETOOTH_RADIO_FIND WINAPI FindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp, HANDLE* phRadio) {
    return Call<HBLUETOOTH_RADIO_FIND>(
        nullptr, [&](TState& state, DWORD& error) -> HBLUETOOTH_RADIO_FIND {
            error = phRadio ? CheckRecord(pbtfrp) : ERROR_INVALID_PARAMETER;
            if (error != 0)
                return nullptr;
            if (state.World.Radios.empty()) {
                error = ERROR_NO_MORE_ITEMS;
                return nullptr;
            }
            HANDLE radio = DeliverRadio(state, 0);
            if (!radio) {
                error = GetLastError();
                return nullptr;
            }
            *phRadio = radio;
            return Add(state.RadioFinds, std::make_unique<TRadioFind>());
        });
}

WINBOOL WINAPI FindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        TRadioFind* find = Find(state.RadioFinds, hFind);
        if (!find || !phRadio) {
            error = find ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
            return FALSE;
        }
        if (find->Next >= state.World.Radios.size()) {
            error = ERROR_NO_MORE_ITEMS;
            return FALSE;
        }
        HANDLE radio = DeliverRadio(state, int(find->Next));
        if (!radio) {
            error = GetLastError();
            return FALSE;
        }
        ++find->Next;
        *phRadio = radio;
        return TRUE;
    });
}

WINBOOL WINAPI FindRadioClose(HBLUETOOTH_RADIO_FIND hFind) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        if (state.RadioFinds.erase(hFind) == 0) {
            error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        return TRUE;
    });
}

DWORD WINAPI GetRadioInfo(HANDLE hRadio, PBLUETOOTH_RADIO_INFO pRadioInfo) {
    return Call<DWORD>(ERROR_SERVICE_NOT_ACTIVE, [&](TState& state, DWORD&) -> DWORD {
        if (DWORD refused = CheckRecord(pRadioInfo))
            return refused;
        int position = RadioOf(state, hRadio);
        if (position < 0)
            return ERROR_INVALID_HANDLE;
        const TRadio& radio = state.World.Radios[size_t(position)];
        if (radio.InfoMissing)
            return ERROR_GEN_FAILURE;
        *pRadioInfo = {};
        pRadioInfo->dwSize = sizeof *pRadioInfo;
        pRadioInfo->address.ullLong = radio.Address;
        std::copy_n(radio.Name.begin(),
                    std::min<size_t>(radio.Name.size(), BLUETOOTH_MAX_NAME_SIZE),
                    pRadioInfo->szName);
        return ERROR_SUCCESS;
    });
}

WINBOOL WINAPI IsConnectable(HANDLE hRadio) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        bool any = false;
        ForRadios(state, hRadio, error, [&](TRadio& radio) { any = any || radio.Connectable; });
        return any;
    });
}

WINBOOL WINAPI IsDiscoverable(HANDLE hRadio) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        bool any = false;
        ForRadios(state, hRadio, error, [&](TRadio& radio) { any = any || radio.Discoverable; });
        return any;
    });
}

// A radio that takes no connections cannot be discoverable.
WINBOOL WINAPI EnableDiscovery(HANDLE hRadio, WINBOOL fEnabled) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        bool refused = false;
        bool found = ForRadios(state, hRadio, error, [&](TRadio& radio) {
            if (fEnabled && !radio.Connectable)
                refused = true;
            else
                radio.Discoverable = fEnabled != FALSE;
        });
        return found && !refused;
    });
}

WINBOOL WINAPI EnableIncomingConnections(HANDLE hRadio, WINBOOL fEnabled) {
    return Call<WINBOOL>(FALSE, [&](TState& state, DWORD& error) -> WINBOOL {
        return ForRadios(state, hRadio, error, [&](TRadio& radio) {
            radio.Connectable = fEnabled != FALSE;
            radio.Discoverable = radio.Discoverable && radio.Connectable;
        });
    });
}

} // namespace kvsim::detail
