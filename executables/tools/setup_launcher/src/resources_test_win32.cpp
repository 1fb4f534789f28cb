// Test program: loads a launcher executable as data and prints its resources the way Windows
// sees them: the manifest, the icon, the version strings and both dialog templates, field by field.
//   resources_test.exe LAUNCHER.exe
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text)
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

// Reads a WORD-aligned "sz_Or_Ord" field: 0 (none), 0xFFFF + ordinal, or a zero-terminated text.
std::string read_name_or_ordinal(const WORD*& p) {
    if (*p == 0) {
        ++p;
        return "";
    }
    if (*p == 0xFFFF) {
        char ordinal[16];
        std::snprintf(ordinal, sizeof ordinal, "#%u", p[1]);
        p += 2;
        return ordinal;
    }
    const std::string text = narrow(reinterpret_cast<const wchar_t*>(p));
    p += text.size() + 1;
    return text;
}

const WORD* align_dword(const WORD* p) {
    return reinterpret_cast<const WORD*>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
}

template <typename T>
T take(const WORD*& p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    p += sizeof value / sizeof(WORD);
    return value;
}

void print_dialog(HMODULE module, int id) {
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    if (resource == nullptr) {
        std::printf("dialog %d missing\n", id);
        return;
    }
    const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(module, resource)));
    const WORD version = take<WORD>(p);
    const WORD signature = take<WORD>(p);
    take<DWORD>(p);  // help id
    const DWORD ex_style = take<DWORD>(p);
    const DWORD style = take<DWORD>(p);
    const WORD items = take<WORD>(p);
    const short x = take<short>(p), y = take<short>(p), cx = take<short>(p), cy = take<short>(p);
    const std::string menu = read_name_or_ordinal(p);
    const std::string window_class = read_name_or_ordinal(p);
    const std::string title = narrow(reinterpret_cast<const wchar_t*>(p));
    p += title.size() + 1;
    std::printf(
        "dialog %d ex=%u/%#x style=0x%08lX exstyle=0x%08lX rect=%d,%d,%d,%d menu=%s "
        "class=%s title=%s items=%u\n",
        id, version, signature, style, ex_style, x, y, cx, cy, menu.c_str(), window_class.c_str(),
        title.c_str(), items);
    if (style & DS_SETFONT) {
        const WORD points = take<WORD>(p);
        const WORD weight = take<WORD>(p);
        const BYTE italic = reinterpret_cast<const BYTE*>(p)[0];
        const BYTE charset = reinterpret_cast<const BYTE*>(p)[1];
        ++p;
        const std::string face = narrow(reinterpret_cast<const wchar_t*>(p));
        p += face.size() + 1;
        std::printf("font %u %u %u %u %s\n", points, weight, italic, charset, face.c_str());
    }
    for (WORD i = 0; i < items; ++i) {
        p = align_dword(p);
        take<DWORD>(p);  // help id
        const DWORD item_ex_style = take<DWORD>(p);
        const DWORD item_style = take<DWORD>(p);
        const short ix = take<short>(p), iy = take<short>(p), icx = take<short>(p),
                    icy = take<short>(p);
        const DWORD item_id = take<DWORD>(p);
        const std::string item_class = read_name_or_ordinal(p);
        const std::string text = read_name_or_ordinal(p);
        const WORD extra = take<WORD>(p);
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
        std::printf("item id=%lu class=%s text=%s style=0x%08lX exstyle=0x%08lX rect=%d,%d,%d,%d\n",
                    item_id, item_class.c_str(), text.c_str(), item_style, item_ex_style, ix, iy,
                    icx, icy);
    }
}

// The text after the first occurrence of `start` up to the next quote, or "none".
std::string attribute(const std::string& text, const std::string& start) {
    const auto at = text.find(start);
    if (at == std::string::npos)
        return "none";
    const auto begin = at + start.size();
    return text.substr(begin, text.find('"', begin) - begin);
}

void print_manifest(HMODULE module) {
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    if (resource == nullptr) {
        std::printf("manifest missing\n");
        return;
    }
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    const std::string manifest(text, SizeofResource(module, resource));
    std::printf("manifest execution level=%s\n",
                attribute(manifest, "requestedExecutionLevel level=\"").c_str());
    std::printf("manifest architecture=%s\n",
                attribute(manifest, "processorArchitecture=\"").c_str());
}

void print_version(const wchar_t* path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::string block(size, '\0');
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data())) {
        std::printf("version missing\n");
        return;
    }
    for (const wchar_t* name : {L"FileVersion", L"ProductName", L"FileDescription"}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* value = nullptr;
        UINT length = 0;
        const bool found =
            VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length);
        std::printf("version %s=%s\n", narrow(name).c_str(), found ? narrow(value).c_str() : "-");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2)
        return 2;
    const HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return 2;
    print_manifest(module);
    std::printf("icon %s\n",
                FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON) ? "present" : "missing");
    print_version(argv[1]);
    print_dialog(module, 129);
    print_dialog(module, 130);
    return 0;
}
