#include "packer_install.h"

#include <cerrno>

#include "packer_internal.h"

namespace fs = std::filesystem;

std::string installed_launcher_name(const std::string& architecture) {
    return "setup_launcher-" + std::string(architecture == "x86-64" ? "x86_64" : architecture) +
           ".exe";
}

std::vector<fs::path> installed_launcher_candidates(const fs::path& executable,
                                                    const std::string& architecture) {
    const fs::path directory = executable.parent_path();
    const std::string name = installed_launcher_name(architecture);
    return {(directory / ".." / "share" / "setup_launcher" / name).lexically_normal(),
            (directory / name).lexically_normal()};
}

Status find_installed_launcher(const std::string& architecture, fs::path& launcher) {
    const fs::path executable = own_executable_path();
    if (executable.empty()) {
        return Status::failure(
            "no --launcher given, and the system does not say where "
            "setup_packer is, to find the installed launchers; give --launcher");
    }
    std::string looked_at;
    for (const fs::path& candidate : installed_launcher_candidates(executable, architecture)) {
        std::error_code ignored;
        if (fs::is_regular_file(candidate, ignored)) {
            launcher = candidate;
            return Status::success();
        }
        looked_at += (looked_at.empty() ? "" : " and ") + path_to_utf8(candidate);
    }
    return Status::failure("no --launcher given, and no " + architecture +
                           " launcher is installed beside setup_packer: looked for " + looked_at +
                           "; give --launcher FILE");
}

Status check_launcher_architecture(const fs::path& launcher, const std::string& architecture) {
    FileHandle file(open_file(launcher, "rb"));
    if (!file)
        return Status::failure(path_to_utf8(launcher) + ": can't open: " + errno_text(errno));
    std::int64_t size = -1;
    if (seek_stream(file.get(), 0, SEEK_END))
        size = tell_stream(file.get());
    const std::string found = launcher_architecture(file.get(), size);
    if (!found.empty() && found != architecture) {
        return Status::failure(path_to_utf8(launcher) + ": is an " + found +
                               " image, and --arch asks for " + architecture);
    }
    return Status::success();
}

Status resolve_launcher(const std::string& given, const std::string& architecture,
                        fs::path& launcher) {
    if (given.empty()) {
        return find_installed_launcher(
            architecture.empty() ? default_launcher_architecture : architecture, launcher);
    }
    launcher = path_from_utf8(given);
    return architecture.empty() ? Status::success()
                                : check_launcher_architecture(launcher, architecture);
}
