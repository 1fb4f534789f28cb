#include <windows.h>

#include "attachments.h"
#include "error_report.h"
#include "string_table.h"

namespace {

// A setup program often starts elevated from a downloads folder: never load a DLL planted
// beside it. From here on only the system directory is searched. Looked up at run time, since
// systems without the call still run the launcher.
void restrict_dll_search() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set_directories = reinterpret_cast<SetDirectories>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_directories != nullptr)
        set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    restrict_dll_search();
    install_out_of_memory_report();
    init_string_table();
    launch();
}
