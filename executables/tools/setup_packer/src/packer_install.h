// The launchers installed with setup_packer, found relative to its own executable: the layout of
// `cmake --install`, the Linux tarball and the Debian package (bin/ and
// share/setup_launcher/), and that of the Windows zip (everything in one folder).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "packer.h"

// The architectures --arch takes, and the one taken without it.
inline constexpr const char* default_launcher_architecture = "i686";

// The path of the running program (packer_install_posix.cpp, packer_install_win32.cpp); empty
// when the system does not say.
std::filesystem::path own_executable_path();

// "setup_launcher-i686.exe", "setup_launcher-x86_64.exe".
std::string installed_launcher_name(const std::string& architecture);

// Where a launcher of that architecture is looked for, in order, for a setup_packer at
// `executable`: EXE_DIR/../share/setup_launcher/NAME, then EXE_DIR/NAME.
std::vector<std::filesystem::path> installed_launcher_candidates(
    const std::filesystem::path& executable, const std::string& architecture);

// The first candidate that exists, for this program; a failure names every place looked at.
Status find_installed_launcher(const std::string& architecture, std::filesystem::path& launcher);

// The launcher of a build: `given` (--launcher) when not empty, checked against `architecture`
// (--arch) when that is given too; otherwise the installed one of `architecture` (default i686).
Status resolve_launcher(const std::string& given, const std::string& architecture,
                        std::filesystem::path& launcher);

// Refuses a launcher of another architecture than the one asked for.
Status check_launcher_architecture(const std::filesystem::path& launcher,
                                   const std::string& architecture);
