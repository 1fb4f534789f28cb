#include <unistd.h>

#include "packer_install.h"

std::filesystem::path own_executable_path() {
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return {};
    return std::filesystem::path(std::string(buffer, static_cast<std::size_t>(length)));
}
