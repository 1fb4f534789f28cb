#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "packer_io.h"

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::FILE* create_new_file(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        ::unlink(path.c_str());
        errno = error;
    }
    return file;
}

std::error_code rename_file(const std::filesystem::path& from, const std::filesystem::path& to,
                            bool replace) {
    if (replace) {
        if (::rename(from.c_str(), to.c_str()) != 0)
            return {errno, std::generic_category()};
        return {};
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return {errno, std::generic_category()};
    }
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target just as well.
    if (::link(from.c_str(), to.c_str()) != 0)
        return {errno, std::generic_category()};
    ::unlink(from.c_str());
    return {};
}

bool is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void write_text(std::FILE* stream, std::string_view utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
