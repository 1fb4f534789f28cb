// Test program: shows one of the launcher's windows, so that a test script can read and answer it
// like a user and then check what the launcher made of it.
//   setup_launcher_test.exe progress           the progress window, reported into until closed
//   setup_launcher_test.exe language LCID...   collects the languages (hexadecimal) and asks
//   setup_launcher_test.exe common_controls    which comctl32 the windows' controls come from
// Built once with the launcher's dialog templates and once without, where no window can be made.
#include <windows.h>

#include <psapi.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "resource_ids.h"
#include "setup_launcher.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

// Raw bytes: the runtime's text mode and wide printf would change what the script reads.
void print(const std::u16string& line) {
    const std::string bytes = to_utf8(line + u"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

BOOL CALLBACK count_dialog(HWND window, LPARAM count) {
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (std::wcscmp(class_name, L"#32770") == 0)
        ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int dialogs_of_this_thread() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), count_dialog, reinterpret_cast<LPARAM>(&count));
    return count;
}

int show_progress() {
    create_progress_window(131);
    report_progress(1);
    create_progress_window(20'971'520);  // keeps the window, restarts bar and counters
    print(format_wide(u"windows: %d", dialogs_of_this_thread()));
    // The first report may already meet the user's close: the bar moves before the queue is read.
    bool open = report_progress(10'485'760);
    // Empty chunks, as from a slow extraction, until the user closes the window.
    for (int i = 0; open && i < 400; ++i) {
        Sleep(50);
        open = report_progress(0);
    }
    if (open) {
        print(u"report: still open");
        return 1;
    }
    print(format_wide(u"report: closed, windows: %d", dialogs_of_this_thread()));
    return 0;
}

int ask_for_language(int argc, wchar_t** argv) {
    for (int i = 2; i < argc; ++i) {
        add_command_lcid(static_cast<std::uint16_t>(std::wcstoul(argv[i], nullptr, 16)));
    }
    const std::uint16_t chosen = choose_language();
    print(format_wide(u"chosen: 0x%04X", unsigned{chosen}));
    print(u"cancel: " + get_text("button_cancel"));  // the table the dialog left current
    return 0;
}

std::u16string from_wide(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// The version that a module's DllGetVersion reports, as "major.minor"; "-" without one.
std::u16string dll_version(HMODULE module) {
    const auto get_version = reinterpret_cast<HRESULT(CALLBACK*)(DLLVERSIONINFO*)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetVersion")));
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (get_version == nullptr || FAILED(get_version(&info)))
        return u"-";
    return format_wide(u"%d.%d", static_cast<int>(info.dwMajorVersion),
                       static_cast<int>(info.dwMinorVersion));
}

// One attribute of an encoded assembly identity (Name,key="value",...); empty when absent.
std::wstring identity_attribute(const std::wstring& identity, const std::wstring& key) {
    const std::wstring start = L"," + key + L"=\"";
    const auto at = identity.find(start);
    if (at == std::wstring::npos)
        return L"";
    const auto begin = at + start.size();
    return identity.substr(begin, identity.find(L'"', begin) - begin);
}

struct Assembly {
    std::wstring identity;   // encoded: Name,key="value",...
    std::wstring directory;  // under the Windows directory's winsxs
};

// The side-by-side assembly that this process's activation context, made from its manifest,
// takes comctl32.dll from; empty when comctl32.dll is not redirected.
Assembly common_controls_assembly() {
    ACTCTX_SECTION_KEYED_DATA data{};
    data.cbSize = sizeof data;
    if (!FindActCtxSectionStringW(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
                                  ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll",
                                  &data))
        return {};
    ACTIVATION_CONTEXT_QUERY_INDEX index{data.ulAssemblyRosterIndex, 0};
    SIZE_T size = 0;
    QueryActCtxW(0, data.hActCtx, &index, AssemblyDetailedInformationInActivationContext, nullptr,
                 0, &size);
    std::vector<char> buffer(size);
    Assembly assembly;
    if (size >= sizeof(ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION) &&
        QueryActCtxW(0, data.hActCtx, &index, AssemblyDetailedInformationInActivationContext,
                     buffer.data(), size, &size)) {
        const auto* info =
            reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(
                buffer.data());
        assembly = {info->lpAssemblyEncodedAssemblyIdentity, info->lpAssemblyDirectoryName};
    }
    ReleaseActCtx(data.hActCtx);
    return assembly;
}

std::wstring module_path(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

// Every comctl32 loaded in this process.
std::vector<HMODULE> loaded_common_controls() {
    HMODULE modules[1024];
    DWORD bytes = 0;
    std::vector<HMODULE> found;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes))
        return found;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < std::size(modules); ++i) {
        if (_wcsicmp(PathFindFileNameW(module_path(modules[i]).c_str()), L"comctl32.dll") == 0)
            found.push_back(modules[i]);
    }
    return found;
}

// After the progress window has loaded the common controls as the launcher does: the assembly
// that serves comctl32.dll (name, major and minor version, processor), how many comctl32 modules
// are loaded and how many of them from that assembly's directory, what each one's DllGetVersion
// says, and which of the launcher's control classes the manifest redirects to that assembly.
int show_common_controls() {
    create_progress_window(1);
    const Assembly assembly = common_controls_assembly();
    const std::wstring version = identity_attribute(assembly.identity, L"version");
    if (assembly.identity.empty())
        print(u"assembly: none");
    else
        print(u"assembly: " + from_wide(assembly.identity.substr(0, assembly.identity.find(L','))) +
              u" " + from_wide(version.substr(0, version.find(L'.', version.find(L'.') + 1))) +
              u" " + from_wide(identity_attribute(assembly.identity, L"processorArchitecture")));
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring directory =
        std::wstring(windows) + L"\\winsxs\\" + assembly.directory + L"\\";
    const std::vector<HMODULE> modules = loaded_common_controls();
    int from_assembly = 0;
    for (HMODULE module : modules) {
        if (!assembly.directory.empty() &&
            _wcsnicmp(module_path(module).c_str(), directory.c_str(), directory.size()) == 0)
            ++from_assembly;
        print(u"DllGetVersion: " + dll_version(module));
    }
    print(format_wide(u"loaded: %d comctl32.dll, %d from that assembly",
                      static_cast<int>(modules.size()), from_assembly));
    std::u16string redirected;
    for (const wchar_t* name : {L"msctls_progress32", L"Button", L"ComboBox"}) {
        ACTCTX_SECTION_KEYED_DATA data{};
        data.cbSize = sizeof data;
        if (FindActCtxSectionStringW(
                0, nullptr, ACTIVATION_CONTEXT_SECTION_WINDOW_CLASS_REDIRECTION, name, &data))
            redirected += u" " + from_wide(name);
    }
    print(u"redirected classes:" + redirected);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    init_string_table();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2)
        return 2;
    if (std::wcscmp(argv[1], L"progress") == 0)
        return show_progress();
    if (std::wcscmp(argv[1], L"language") == 0)
        return ask_for_language(argc, argv);
    if (std::wcscmp(argv[1], L"common_controls") == 0)
        return show_common_controls();
    return 2;
}
