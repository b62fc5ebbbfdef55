// The service lookup: one result record per service record of the queried class, laid
// out inside the caller's buffer, with its SDP stream as the blob.
#include "sim/sim_functions.h"
#include "sim/sim_state.h"

#include "components/kvbt_address.h"
#include "toolkit/text.h"

#include <cstring>

namespace kvsim::detail {

namespace {

// Asking for containers is a device inquiry, which this lookup does not do.
constexpr DWORD kRefusedFlags = LUP_CONTAINERS;
// A large record's description: enough to outgrow a 2,000-byte buffer on its own.
constexpr size_t kLargeDescription = 2400;

void PutUuid(std::string& out, const GUID& guid) {
    out += static_cast<char>(0x1C); // UUID, 128 bits, big-endian
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(guid.Data1 >> shift);
    out += static_cast<char>(guid.Data2 >> 8);
    out += static_cast<char>(guid.Data2);
    out += static_cast<char>(guid.Data3 >> 8);
    out += static_cast<char>(guid.Data3);
    out.append(reinterpret_cast<const char*>(guid.Data4), 8);
}

void PutAttribute(std::string& out, unsigned short id) {
    out += static_cast<char>(0x09); // unsigned 16-bit attribute id
    out += static_cast<char>(id >> 8);
    out += static_cast<char>(id);
}

// The service's SDP attribute stream: its class, L2CAP and RFCOMM with the channel, and
// for a large record a long description.
std::string SdpRecord(const TService& service) {
    std::string body;
    PutAttribute(body, 0x0001); // service class id list
    body += "\x35\x11";
    PutUuid(body, service.ServiceClass);
    PutAttribute(body, 0x0004); // protocol descriptor list
    body += std::string("\x35\x0C\x35\x03\x19\x01\x00\x35\x05\x19\x00\x03\x08", 13);
    body += static_cast<char>(service.Channel);
    if (service.Large) {
        PutAttribute(body, 0x0101); // service description, text with a 16-bit length
        body += static_cast<char>(0x26);
        body += static_cast<char>(kLargeDescription >> 8);
        body += static_cast<char>(kLargeDescription & 0xFF);
        body.append(kLargeDescription, 'x');
    }
    std::string record = "\x36"; // sequence with a 16-bit length
    record += static_cast<char>(body.size() >> 8);
    record += static_cast<char>(body.size() & 0xFF);
    return record + body;
}

// Places pieces one after another from the start of a buffer; without a buffer it only
// measures, so the same steps give the length needed and then the record.
class TLayout {
public:
    explicit TLayout(char* base) : fBase(base) {}
    void* Put(const void* data, size_t size, size_t align) {
        fSize = (fSize + align - 1) / align * align;
        void* at = fBase ? fBase + fSize : nullptr;
        if (fBase)
            std::memcpy(at, data, size);
        fSize += size;
        return at;
    }
    template <class T> T* Put(const T& value) {
        return static_cast<T*>(Put(&value, sizeof value, alignof(T)));
    }
    char* PutText(const std::string& text) {
        return static_cast<char*>(Put(text.c_str(), text.size() + 1, 1));
    }
    size_t Size() const { return fSize; }

private:
    char* fBase;
    size_t fSize = 0;
};

// Lays out the result for one record with the members that Flags ask for.
size_t Layout(char* base, const TLookup& lookup, const TService& service, DWORD flags) {
    TLayout out(base);
    WSAQUERYSETA* record = out.Put(WSAQUERYSETA{});
    WSAQUERYSETA result{};
    result.dwSize = sizeof result;
    result.dwNameSpace = NS_BTH;
    if (flags & LUP_RETURN_TYPE)
        result.lpServiceClassId = out.Put(lookup.ServiceClass);
    if (flags & LUP_RETURN_ADDR) {
        SOCKADDR_BTH local{AF_BTH, lookup.Radio, {}, 0};
        SOCKADDR_BTH remote{AF_BTH, lookup.Device, service.ServiceClass, service.Channel};
        CSADDR_INFO* address = out.Put(CSADDR_INFO{});
        CSADDR_INFO info{{reinterpret_cast<LPSOCKADDR>(out.Put(local)), sizeof local},
                         {reinterpret_cast<LPSOCKADDR>(out.Put(remote)), sizeof remote},
                         SOCK_STREAM,
                         BTHPROTO_RFCOMM};
        if (base)
            *address = info;
        result.dwNumberOfCsAddrs = 1;
        result.lpcsaBuffer = address;
    }
    if (flags & LUP_RETURN_BLOB) {
        std::string sdp = SdpRecord(service);
        BLOB* blob = out.Put(BLOB{});
        BLOB value{ULONG(sdp.size()), static_cast<BYTE*>(out.Put(sdp.data(), sdp.size(), 1))};
        if (base)
            *blob = value;
        result.lpBlob = blob;
    }
    if (flags & LUP_RETURN_NAME)
        result.lpszServiceInstanceName = out.PutText(StringToAnsi(service.Name));
    if ((flags & LUP_RETURN_COMMENT) && !service.Comment.empty())
        result.lpszComment = out.PutText(StringToAnsi(service.Comment));
    if (base)
        *record = result;
    return out.Size();
}

// "(00:1A:7D:DA:71:13)": upper-case hex, byte 5 first.
bool ContextAddress(const char* context, BTH_ADDR& address) {
    if (!context)
        return false;
    std::string_view text(context);
    if (text.size() != 19 || text.front() != '(' || text.back() != ')')
        return false;
    std::string_view inner = text.substr(1, 17);
    BLUETOOTH_ADDRESS parsed{};
    if (inner.find_first_of("abcdef-") != std::string_view::npos ||
        !TextToBtAddress(AnsiToString(inner), parsed))
        return false;
    address = parsed.ullLong;
    return true;
}

} // namespace

INT WSAAPI LookupServiceBegin(LPWSAQUERYSETA lpqsRestrictions, DWORD dwControlFlags,
                              LPHANDLE lphLookup) {
    // A slow device answers late; the wait is outside the lock.
    BTH_ADDR slow = 0;
    if (lpqsRestrictions && ContextAddress(lpqsRestrictions->lpszContext, slow))
        if (DWORD delay = Call<DWORD>(0, [&](TState& state, DWORD&) -> DWORD {
                const TDevice* device = DeviceAt(state, slow);
                return device ? device->LookupDelayMs : 0;
            }))
            Sleep(delay);
    auto begin = [&](TState& state, DWORD& error) -> INT {
        if (!lpqsRestrictions || !lphLookup) {
            error = WSAEFAULT;
            return SOCKET_ERROR;
        }
        const WSAQUERYSETA& query = *lpqsRestrictions;
        TLookupCall call;
        call.Size = query.dwSize;
        call.Flags = dwControlFlags;
        bool whole = query.dwSize == sizeof query;
        if (whole) {
            call.NameSpace = query.dwNameSpace;
            call.HasClass = query.lpServiceClassId != nullptr;
            call.ServiceClass = call.HasClass ? *query.lpServiceClassId : GUID{};
            call.HasContext = query.lpszContext != nullptr;
            call.Context = call.HasContext ? query.lpszContext : "";
        }
        state.LookupCalls.push_back(call);
        if (!WinsockStarted()) {
            error = WSANOTINITIALISED;
            return SOCKET_ERROR;
        }
        BTH_ADDR address = 0;
        if (!whole || query.dwNameSpace != NS_BTH || !query.lpServiceClassId ||
            (dwControlFlags & kRefusedFlags) || !ContextAddress(query.lpszContext, address)) {
            error = WSAEINVAL;
            return SOCKET_ERROR;
        }
        const TDevice* device = DeviceAt(state, address);
        if (!device) {
            error = WSAEHOSTDOWN;
            return SOCKET_ERROR;
        }
        if (device->LookupFailCode != 0 &&
            IsEqualGUID(device->LookupFailClass, *query.lpServiceClassId)) {
            error = DWORD(device->LookupFailCode);
            return SOCKET_ERROR;
        }
        auto lookup = std::make_unique<TLookup>();
        lookup->Device = address;
        lookup->Radio =
            device->Radios.empty() ? 0 : state.World.Radios[size_t(device->Radios[0])].Address;
        lookup->ServiceClass = *query.lpServiceClassId;
        for (const TService& service : device->Services)
            if (IsEqualGUID(service.ServiceClass, lookup->ServiceClass))
                lookup->Records.push_back(service);
        if (lookup->Records.empty()) { // the device has no record of that class
            error = WSASERVICE_NOT_FOUND;
            return SOCKET_ERROR;
        }
        *lphLookup = Add(state.Lookups, std::move(lookup));
        return 0;
    };
    return Call<INT>(SOCKET_ERROR, begin, true);
}

INT WSAAPI LookupServiceNext(HANDLE hLookup, DWORD dwControlFlags, LPDWORD lpdwBufferLength,
                             LPWSAQUERYSETA lpqsResults) {
    auto next = [&](TState& state, DWORD& error) -> INT {
        state.LookupNextCalls.push_back({dwControlFlags, lpdwBufferLength ? *lpdwBufferLength : 0});
        if (!WinsockStarted()) {
            error = WSANOTINITIALISED;
            return SOCKET_ERROR;
        }
        TLookup* lookup = Find(state.Lookups, hLookup);
        if (!lookup || !lpdwBufferLength) {
            error = lookup ? WSAEFAULT : WSA_INVALID_HANDLE;
            return SOCKET_ERROR;
        }
        if (lookup->Next >= lookup->Records.size()) {
            error = WSA_E_NO_MORE;
            return SOCKET_ERROR;
        }
        const TService& service = lookup->Records[lookup->Next];
        size_t needed = Layout(nullptr, *lookup, service, dwControlFlags);
        if (!lpqsResults || *lpdwBufferLength < needed) {
            *lpdwBufferLength = DWORD(needed);
            error = WSAEFAULT;
            return SOCKET_ERROR;
        }
        Layout(reinterpret_cast<char*>(lpqsResults), *lookup, service, dwControlFlags);
        ++lookup->Next;
        return 0;
    };
    return Call<INT>(SOCKET_ERROR, next, true);
}

INT WSAAPI LookupServiceEnd(HANDLE hLookup) {
    auto end = [&](TState& state, DWORD& error) -> INT {
        if (!WinsockStarted()) {
            error = WSANOTINITIALISED;
            return SOCKET_ERROR;
        }
        if (state.Lookups.erase(hLookup) == 0) {
            error = WSA_INVALID_HANDLE;
            return SOCKET_ERROR;
        }
        return 0;
    };
    return Call<INT>(SOCKET_ERROR, end, true);
}

} // namespace kvsim::detail
