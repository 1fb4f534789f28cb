// Test program: loads an executable as data and prints its resources the way Windows sees them:
// the manifest's entries, the icon's images, the version resource and the launcher's two dialog
// templates, field by field.
//   resources_test.exe PROGRAM.exe
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

// ---- Manifest: a few elements and attributes, found by plain text search

constexpr auto npos = std::string::npos;

// The start of the first element <tag ...> at or after `from`, or npos.
std::size_t find_element(const std::string& xml, const std::string& tag, std::size_t from = 0) {
    for (auto at = xml.find("<" + tag, from); at != npos; at = xml.find("<" + tag, at + 1)) {
        const char next = at + tag.size() + 1 < xml.size() ? xml[at + tag.size() + 1] : '>';
        if (next == ' ' || next == '>' || next == '/' || next == '\n' || next == '\r')
            return at;
    }
    return npos;
}

// An attribute of the element that starts at `element`; "-" when absent.
std::string attribute(const std::string& xml, std::size_t element, const std::string& name) {
    if (element == npos)
        return "-";
    const std::string start = " " + name + "=\"";
    const auto at = xml.find(start, element);
    if (at == npos || at > xml.find('>', element))
        return "-";
    const auto begin = at + start.size();
    return xml.substr(begin, xml.find('"', begin) - begin);
}

// The text inside the first element `tag`, with its xmlns; "-" when absent.
std::string element_text(const std::string& xml, const std::string& tag) {
    const auto at = find_element(xml, tag);
    if (at == npos)
        return "-";
    const auto begin = xml.find('>', at) + 1;
    return xml.substr(begin, xml.find("</" + tag, begin) - begin) +
           " xmlns=" + attribute(xml, at, "xmlns");
}

// The application's own identity, its execution level, the assembly it depends on and the
// display settings (with the namespace of the application element that holds them).
void print_manifest(HMODULE module) {
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    if (resource == nullptr) {
        std::printf("manifest missing\n");
        return;
    }
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    const std::string xml(text, SizeofResource(module, resource));
    const auto identity = find_element(xml, "assemblyIdentity");
    std::printf("manifest identity=%s version=%s architecture=%s\n",
                attribute(xml, identity, "name").c_str(),
                attribute(xml, identity, "version").c_str(),
                attribute(xml, identity, "processorArchitecture").c_str());
    std::printf("manifest execution level=%s\n",
                attribute(xml, find_element(xml, "requestedExecutionLevel"), "level").c_str());
    const auto dependent = find_element(xml, "dependentAssembly");
    const auto dependency =
        dependent == npos ? npos : find_element(xml, "assemblyIdentity", dependent);
    std::printf("manifest dependency=%s version=%s architecture=%s token=%s\n",
                attribute(xml, dependency, "name").c_str(),
                attribute(xml, dependency, "version").c_str(),
                attribute(xml, dependency, "processorArchitecture").c_str(),
                attribute(xml, dependency, "publicKeyToken").c_str());
    const auto settings = find_element(xml, "windowsSettings");
    const auto application = settings == npos ? npos : xml.rfind("<application", settings);
    std::printf("manifest windowsSettings in application xmlns=%s\n",
                attribute(xml, application, "xmlns").c_str());
    for (const char* setting : {"dpiAware", "dpiAwareness"})
        std::printf("manifest %s=%s\n", setting, element_text(xml, setting).c_str());
}

// ---- Icons: every image of icon group 1, and whether the system makes an icon of it

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;  // 0 stands for 256
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bits_per_pixel;
    DWORD bytes;
    WORD id;  // of the RT_ICON resource
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14);

// The size of the icon the system makes of one image: "WxH", or "fails".
std::string loaded_icon_size(const BYTE* image, DWORD bytes, int size) {
    HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(image), bytes, TRUE, 0x00030000, size,
                                          size, LR_DEFAULTCOLOR);
    ICONINFO info{};
    BITMAP bitmap{};
    if (icon == nullptr || !GetIconInfo(icon, &info))
        return "fails";
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    char text[32];
    std::snprintf(text, sizeof text, "%ldx%ld", bitmap.bmWidth, bitmap.bmHeight);
    return text;
}

void print_icons(HMODULE module) {
    const HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    if (group == nullptr) {
        std::printf("icon missing\n");
        return;
    }
    const auto* header = static_cast<const WORD*>(LockResource(LoadResource(module, group)));
    const WORD count = header[2];
    for (WORD i = 0;
         i < count && 6 + (i + 1) * sizeof(GroupIconEntry) <= SizeofResource(module, group); ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, reinterpret_cast<const BYTE*>(header) + 6 + i * sizeof entry,
                    sizeof entry);
        const int size = entry.width == 0 ? 256 : entry.width;
        const HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entry.id), RT_ICON);
        const auto* bits =
            image ? static_cast<const BYTE*>(LockResource(LoadResource(module, image))) : nullptr;
        const DWORD bytes = image ? SizeofResource(module, image) : 0;
        const bool png = bytes >= 8 && std::memcmp(bits, "\x89PNG\r\n\x1a\n", 8) == 0;
        std::printf("icon %dx%d %ubpp %s loads %s\n", size, entry.height == 0 ? 256 : entry.height,
                    entry.bits_per_pixel, png ? "png" : "bitmap",
                    bits ? loaded_icon_size(bits, bytes, size).c_str() : "missing");
    }
}

// ---- Version resource: the fixed numbers and the strings

void print_version(const wchar_t* path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        std::printf("version missing\n");
        return;
    }
    std::printf("version fixed file=%u.%u.%u.%u product=%u.%u.%u.%u\n",
                HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    for (const wchar_t* name :
         {L"FileVersion", L"ProductVersion", L"ProductName", L"FileDescription",
          L"OriginalFilename", L"CompanyName", L"LegalCopyright", L"InternalName", L"Comments"}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* value = nullptr;
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
    print_icons(module);
    print_version(argv[1]);
    print_dialog(module, 129);
    print_dialog(module, 130);
    return 0;
}
