// The program that the planted-library test runs in a folder beside planted copies of the
// Bluetooth libraries:
//   planted_probe bare NAME   loads NAME by its bare name, as a forwarded export does;
//                             exit code 0 when it loaded
//   planted_probe binding     starts as the demo does: the component's radio and device
//                             search through the binding; exit code 0 when the binding's
//                             Bluetooth library is the one in the system directory
#include "components/kvbt.h"
#include "toolkit/application.h"

#include <cstring>

namespace {

String Folder(const String& Path) {
    size_t slash = Path.find_last_of(L'\\');
    return slash == String::npos ? String() : Path.substr(0, slash);
}

int Binding() {
    TApplication app;
    {
        TkvBT bt(nullptr);
        bt.Update();
    }
    if (!LoadBtApi())
        return 2;
    wchar_t library[MAX_PATH], system[MAX_PATH];
    DWORD length = GetModuleFileNameW(BtApiHandle(), library, MAX_PATH);
    UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    bool fromSystem = length > 0 && systemLength > 0 &&
                      CompareStringOrdinal(Folder(String(library, length)).c_str(), -1, system, -1,
                                           TRUE) == CSTR_EQUAL;
    UnloadBtApis();
    return fromSystem ? 0 : 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "bare") == 0)
        return LoadLibraryA(argv[2]) ? 0 : 1;
    if (argc == 2 && std::strcmp(argv[1], "binding") == 0)
        return Binding();
    return 4;
}
