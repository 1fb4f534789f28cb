#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "packer_io.h"

namespace {

std::wstring widen_mode(const char* mode) {
    std::wstring wide;
    for (const char* c = mode; *c != 0; ++c)
        wide.push_back(static_cast<wchar_t>(*c));
    return wide;
}

std::string to_utf8(std::wstring_view text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

std::wstring from_utf8(std::string_view text) {
    if (text.empty())
        return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

HANDLE console_of(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

}  // namespace

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
    return _wfopen(path.c_str(), widen_mode(mode).c_str());
}

std::FILE* create_new_file(const std::filesystem::path& path) {
    const int descriptor =
        _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        _close(descriptor);
        _wunlink(path.c_str());
        errno = error;
    }
    return file;
}

std::error_code rename_file(const std::filesystem::path& from, const std::filesystem::path& to,
                            bool replace) {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        return {static_cast<int>(GetLastError()), std::system_category()};
    }
    return {};
}

bool is_terminal(std::FILE* stream) {
    return console_of(stream) != nullptr;
}

void write_text(std::FILE* stream, std::string_view utf8) {
    const HANDLE console = console_of(stream);
    if (console == nullptr) {
        std::fwrite(utf8.data(), 1, utf8.size(), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);
    const std::wstring wide = from_utf8(utf8);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::vector<std::string> utf8_arguments(int, char**) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    if (arguments == nullptr)
        return result;
    for (int i = 1; i < count; ++i)
        result.push_back(to_utf8(arguments[i]));
    LocalFree(arguments);
    return result;
}
