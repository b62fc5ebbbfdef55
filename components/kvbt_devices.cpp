// The radio, service and device objects, and the service lookup.
#include "components/kvbt.h"

#include "toolkit/format.h"

#include <cstring>

#define BT_GUID(x)                                                                                 \
    {                                                                                              \
        0x##x, 0x0000, 0x1000, {                                                                   \
            0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB                                         \
        }                                                                                          \
    }

const GUID BtServiceClasses[18] = {
    BT_GUID(1103), BT_GUID(1101), BT_GUID(1105), BT_GUID(1106), BT_GUID(1108), BT_GUID(1109),
    BT_GUID(110A), BT_GUID(110B), BT_GUID(1111), BT_GUID(1113), BT_GUID(1114), BT_GUID(111E),
    BT_GUID(111F), BT_GUID(1124), BT_GUID(1201), BT_GUID(1202), BT_GUID(1203), BT_GUID(1204),
};

#undef BT_GUID

namespace {

const DWORD kLookupFlags = LUP_RETURN_NAME | LUP_RETURN_TYPE | LUP_RETURN_COMMENT |
                           LUP_RETURN_ADDR | LUP_RETURN_BLOB | LUP_FLUSHCACHE; // 0x13B0
const DWORD kLookupBufferSize = 2000;
// The lookup functions are missing: their wrappers report success and deliver nothing.
const int kLookupMissing = ERROR_PROC_NOT_FOUND;

} // namespace

// ---- TkvBTRadio

TkvBTRadio::TkvBTRadio(TkvBaseIO* aOwner, int aIndex) {
    fParent = aOwner;
    fIndex = aIndex;
}

TkvBTRadio::~TkvBTRadio() {
    if (Handle)
        CloseHandle(reinterpret_cast<HANDLE>(Handle));
}

bool TkvBTRadio::GetIsConnectable() const {
    return kvbtw32::BluetoothIsConnectable(reinterpret_cast<HANDLE>(Handle));
}

void TkvBTRadio::SetIsConnectable(bool Value) {
    kvbtw32::BluetoothEnableIncomingConnections(reinterpret_cast<HANDLE>(Handle), Value);
}

bool TkvBTRadio::GetIsDiscoverable() const {
    return kvbtw32::BluetoothIsDiscoverable(reinterpret_cast<HANDLE>(Handle));
}

void TkvBTRadio::SetIsDiscoverable(bool Value) {
    kvbtw32::BluetoothEnableDiscovery(reinterpret_cast<HANDLE>(Handle), Value);
}

// ---- TkvBTService

void TkvBTService::SetInfo(const WSAQUERYSETA& aQuerySet) {
    fCaption = aQuerySet.lpszServiceInstanceName ? AnsiToString(aQuerySet.lpszServiceInstanceName)
                                                 : String();
    fComment = aQuerySet.lpszComment ? AnsiToString(aQuerySet.lpszComment) : String();
    fQuerySet = aQuerySet;
    fAnsiCaption = StringToAnsi(fCaption);
    fAnsiComment = StringToAnsi(fComment);
    fQuerySet.lpszServiceInstanceName = fAnsiCaption.data();
    fQuerySet.lpszComment = fAnsiComment.data();

    // The record's other pointers refer to the lookup's buffer, which goes: keep copies
    // of what the record describes, drop what it only names on the way. Its numbers stay.
    fQuerySet.lpVersion = nullptr;
    fQuerySet.lpNSProviderId = nullptr;
    fQuerySet.lpszContext = nullptr;
    fQuerySet.lpafpProtocols = nullptr;
    fQuerySet.lpszQueryString = nullptr;
    if (aQuerySet.lpServiceClassId) {
        fClassId = *aQuerySet.lpServiceClassId;
        fQuerySet.lpServiceClassId = &fClassId;
    }
    fAddresses.clear();
    fSockaddrs.clear();
    if (aQuerySet.lpcsaBuffer && aQuerySet.dwNumberOfCsAddrs > 0) {
        fAddresses.assign(aQuerySet.lpcsaBuffer,
                          aQuerySet.lpcsaBuffer + aQuerySet.dwNumberOfCsAddrs);
        fSockaddrs.resize(fAddresses.size() * 2);
        for (size_t i = 0; i < fAddresses.size(); ++i) {
            SOCKET_ADDRESS* ends[2] = {&fAddresses[i].LocalAddr, &fAddresses[i].RemoteAddr};
            for (int k = 0; k < 2; ++k) {
                SOCKADDR_STORAGE& copy = fSockaddrs[i * 2 + static_cast<size_t>(k)];
                int length = ends[k]->lpSockaddr ? ends[k]->iSockaddrLength : 0;
                if (length <= 0 || length > static_cast<int>(sizeof copy)) {
                    *ends[k] = {nullptr, 0};
                    continue;
                }
                std::memcpy(&copy, ends[k]->lpSockaddr, static_cast<size_t>(length));
                ends[k]->lpSockaddr = reinterpret_cast<LPSOCKADDR>(&copy);
            }
        }
        fQuerySet.lpcsaBuffer = fAddresses.data();
    } else {
        fQuerySet.lpcsaBuffer = nullptr;
    }
    if (aQuerySet.lpBlob && aQuerySet.lpBlob->pBlobData) {
        fBlobData.assign(aQuerySet.lpBlob->pBlobData,
                         aQuerySet.lpBlob->pBlobData + aQuerySet.lpBlob->cbSize);
        fBlob = {static_cast<ULONG>(fBlobData.size()), fBlobData.data()};
        fQuerySet.lpBlob = &fBlob;
    } else {
        fQuerySet.lpBlob = nullptr;
    }
}

// ---- TkvBTDevice

TkvBTDevice::TkvBTDevice() {
    fServiceIndex = -1;
}

TkvBTDevice::~TkvBTDevice() {
    ClearServices();
}

void TkvBTDevice::ClearServices() {
    for (int i = 0; i < fServices.Count(); ++i)
        delete static_cast<TkvBTService*>(fServices.Get(i));
    fServices.Clear();
}

TkvBTService* TkvBTDevice::GetServices(int Index) const {
    return static_cast<TkvBTService*>(fServices.Get(Index));
}

namespace {

// "(00:1A:7D:DA:71:13)": how the platform names a device, and how a lookup asks for it.
String AddressText(const BLUETOOTH_ADDRESS& Address) {
    return L"(" + BtAddressToText(Address) + L")";
}

} // namespace

String TkvBTDevice::AddressAsStr() const {
    return AddressText(Address);
}

void TkvBTDevice::Update() {
    Apply(LookupServices(Address));
}

void TkvBTDevice::Apply(TkvBTLookup Lookup) {
    ClearServices();
    for (auto& service : Lookup.Services) {
        int position = fServices.Add(service.release());
        if (fServiceIndex < 0)
            fServiceIndex = position;
    }
    fLastError = Lookup.LastError;
    if (fServiceIndex >= ServiceCount())
        fServiceIndex = ServiceCount() - 1;
}

TkvBTLookup LookupServices(const BLUETOOTH_ADDRESS& Address, const std::atomic<bool>* Stop) {
    TkvBTLookup found;
    AnsiString context = StringToAnsi(AddressText(Address));
    for (const GUID& entry : BtServiceClasses) {
        if (Stop && *Stop)
            break;
        GUID serviceClass = entry;
        WSAQUERYSETA restriction{};
        restriction.dwSize = sizeof restriction;
        restriction.dwNameSpace = NS_BTH;
        restriction.lpServiceClassId = &serviceClass;
        restriction.lpszContext = context.data();
        HANDLE lookup = nullptr;
        if (kvbtw32::WSALookupServiceBeginA(&restriction, kLookupFlags, &lookup) != 0) {
            int code = WSAGetLastError();
            if (code == WSASERVICE_NOT_FOUND)
                continue; // the device has no record of this class
            found.LastError = code;
            break;
        }
        if (!lookup) { // nothing began: the lookup functions are missing
            found.LastError = kLookupMissing;
            break;
        }
        std::vector<std::uint8_t> buffer(kLookupBufferSize);
        DWORD length = kLookupBufferSize;
        bool missing = false;
        for (;;) {
            auto* result = reinterpret_cast<WSAQUERYSETA*>(buffer.data());
            result->dwSize = 0;
            if (kvbtw32::WSALookupServiceNextA(lookup, kLookupFlags, &length, result) != 0) {
                // A record that needs more room is asked for again, not lost.
                if (WSAGetLastError() == WSAEFAULT && length > buffer.size()) {
                    buffer.resize(length);
                    continue;
                }
                break;
            }
            if (result->dwSize == 0) { // success that delivered nothing
                missing = true;
                break;
            }
            auto service = std::make_unique<TkvBTService>();
            service->SetInfo(*result);
            service->fGUID = entry;
            found.Services.push_back(std::move(service));
        }
        kvbtw32::WSALookupServiceEnd(lookup);
        if (missing) {
            found.LastError = kLookupMissing;
            break;
        }
    }
    return found;
}
