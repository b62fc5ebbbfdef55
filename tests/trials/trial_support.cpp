#include "trials/trial_support.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kvtrials {

namespace {

// The system's handle table (SystemHandleInformation, class 16), as ntdll delivers it.
struct THandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ULONG AccessMask;
};
struct THandleTable {
    ULONG Count;
    THandleEntry Entries[1];
};
using TQuery = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

} // namespace

int ProcessHandleCount() {
    static const TQuery query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0)
            return -1;
        break;
    }
    const auto* table = reinterpret_cast<const THandleTable*>(buffer.data());
    const DWORD pid = GetCurrentProcessId();
    int count = 0;
    for (ULONG i = 0; i < table->Count; ++i)
        if (table->Entries[i].OwnerPid == pid)
            ++count;
    return count;
}

int ProcessThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    const DWORD pid = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid)
            ++count;
    CloseHandle(snapshot);
    return count;
}

void PumpOnce() {
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    } else {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

kvsim::TDevice SerialDevice(const std::wstring& Name, BTH_ADDR Address, const kvsim::TPeer& Peer) {
    kvsim::TService service;
    service.ServiceClass = kvsim::ServiceClass16(0x1101);
    service.Name = L"Serial Port";
    service.Peer = Peer;
    kvsim::TDevice device;
    device.Name = Name;
    device.Address = Address;
    device.Radios = {0};
    device.Remembered = true;
    device.Services = {service};
    return device;
}

kvsim::TWorld SerialWorld(BTH_ADDR RadioAddress, std::vector<kvsim::TDevice> Devices) {
    kvsim::TWorld world;
    kvsim::TRadio radio;
    radio.Name = L"Radio";
    radio.Address = RadioAddress;
    world.Radios.push_back(radio);
    world.Devices = std::move(Devices);
    world.Settings.InquiryScale = 0;
    return world;
}

bool SelectDevice(TkvBT& Bt, BTH_ADDR Address) {
    if (Bt.DeviceCount() == 0)
        Bt.Update();
    BLUETOOTH_ADDRESS a;
    a.ullLong = Address;
    Bt.SetDeviceIndex(Bt.IndexOfAddress(a));
    return Bt.GetDeviceIndex() >= 0;
}

} // namespace kvtrials
