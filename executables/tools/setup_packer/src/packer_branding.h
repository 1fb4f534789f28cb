// A vendor's own icon and version details in the launcher image of a setup file: the icon group
// and its icons, replaced from a .ico file, and the version resource, rebuilt with the keys given.
// Also the reading of both back from an image, for list and verify, and the check that an image
// is one of this project's launchers. Plain data; failures come back as messages.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer_pe.h"

// --- Icons -------------------------------------------------------------------------------------

// A .ico file larger than this is refused: the icon travels in every setup file, and the largest
// icon Windows shows (256x256 in 32 bits, uncompressed, with every smaller size) stays well below.
inline constexpr std::uint64_t max_icon_file_size = 1 << 20;
inline constexpr std::size_t max_icon_images = 64;

struct IconImage {
    std::uint16_t width = 0;  // in pixels, 1 to 256
    std::uint16_t height = 0;
    std::uint8_t colors = 0;  // as the directory says; 0 for 256 or more
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    bool png = false;
    std::vector<std::uint8_t> data;  // a PNG file, or a DIB (BITMAPINFOHEADER, pixels, mask)
};

// The images of a .ico file's bytes. Empty on success, else what is wrong with the file.
std::string read_icon_file(ByteSpan bytes, std::vector<IconImage>& images);

// The images of an image's first icon group (the one Explorer shows), with their data; empty
// when it has none or a group names an icon it lacks.
std::vector<IconImage> image_icons(const std::vector<Resource>& resources);

// Replaces the first icon group and the icons it names (or adds a group when there is none),
// keeping its name and language. New icons take the lowest numbers no other icon has.
void replace_icon_group(std::vector<Resource>& resources, const std::vector<IconImage>& images);

// --- Version details ---------------------------------------------------------------------------

using VersionNumber = std::array<std::uint16_t, 4>;

struct VersionStringTable {
    std::u16string key;  // language and code page in 8 hexadecimal digits, e.g. "040904B0"
    std::vector<std::pair<std::u16string, std::u16string>> strings;  // in their order
};

// What a version resource holds (VS_VERSIONINFO).
struct VersionInfo {
    VersionNumber file_version{};
    VersionNumber product_version{};
    std::uint32_t flags_mask = 0x3F;
    std::uint32_t flags = 0;
    std::uint32_t os = 0x40004;  // VOS_NT_WINDOWS32
    std::uint32_t type = 1;      // VFT_APP
    std::uint32_t subtype = 0;
    std::uint32_t date_high = 0;
    std::uint32_t date_low = 0;
    std::vector<VersionStringTable> tables;
    std::vector<std::uint32_t> translations;  // language | code page << 16
};

// Reads a version resource's bytes. Empty on success, else what is wrong.
std::string read_version_info(ByteSpan bytes, VersionInfo& info);
// The bytes of a version resource; empty on success, else why it can't hold the details (a
// version resource counts its bytes in 16 bits).
std::string write_version_info(const VersionInfo& info, std::vector<std::uint8_t>& bytes);
// The version resource of an image, when it has one that reads.
std::optional<VersionInfo> image_version(const std::vector<Resource>& resources);

// "2.1.0.0".
std::string version_text(const VersionNumber& number);

// --- What a build sets -------------------------------------------------------------------------

// The string keys and the numeric keys of --version-info, in the order --help lists them.
inline constexpr const char* version_string_keys[] = {
    "ProductName", "CompanyName",      "FileDescription", "LegalCopyright", "ProductVersion",
    "FileVersion", "OriginalFilename", "InternalName",    "Comments"};
inline constexpr const char* file_version_number_key = "FileVersionNumber";
inline constexpr const char* product_version_number_key = "ProductVersionNumber";
// The longest value of a string key, in UTF-16 code units; far more than Explorer shows.
inline constexpr std::size_t max_version_text_units = 1024;

struct VersionSetting {
    std::string key;
    std::u16string value;
    std::string origin;  // how the user gave it, for messages
};

struct Branding {
    std::optional<std::filesystem::path> icon;
    std::string icon_origin;
    std::vector<VersionSetting> version_info;
    bool empty() const { return !icon && version_info.empty(); }
};

// Reads "KEY=VALUE" (the value UTF-8) into a setting. Empty on success, else the problem: no
// '=', an unknown key (with the closest known one), a value that is not valid UTF-8, holds
// U+0000, is longer than max_version_text_units, or is no version number for a numeric key.
std::string parse_version_setting(std::string_view text, const std::string& origin,
                                  VersionSetting& setting);
// Adds a setting, refusing a key that was given before (with where).
std::string add_version_setting(Branding& branding, VersionSetting setting);
// --icon (when not empty) and every --version-info KEY=VALUE into `branding`, after what the
// manifests gave. Empty on success, else the problem.
std::string add_branding_options(const std::string& icon,
                                 const std::vector<std::string>& version_info, Branding& branding);
// Adds the icon and settings of `from` (a manifest's), refusing any given twice.
std::string merge_branding(Branding& into, const Branding& from);
// Sets the icon, refusing a second one.
std::string set_branding_icon(Branding& branding, std::filesystem::path icon, std::string origin);

// The version details with the settings applied: every string table gets the strings; a numeric
// version not given follows its string when that begins with a version number, and a string not
// given follows its numeric version. Empty on success, else the problem.
std::string apply_version_settings(VersionInfo& info, const std::vector<VersionSetting>& settings);

// "a.b.c.d" with one to four numbers of at most 65535: the number, or nullopt. With `prefix`, the
// numbers that begin the text, as in "2.1 beta".
std::optional<VersionNumber> parse_version_number(std::u16string_view text, bool prefix = false);

// --- This project's launchers ------------------------------------------------------------------

// The assembly identity in the launcher's manifest.
inline constexpr const char* launcher_assembly_name = "SetupLauncher";

// What an image lacks of this project's launchers, which branding leaves as they are: the dialog
// templates 129 (the language dialog) and 130 (the progress window) and a manifest whose assembly
// identity is SetupLauncher. Empty when it lacks nothing.
std::string launcher_identity_problem(const std::vector<Resource>& resources);

// --- An image's resources, read from its file ----------------------------------------------------

struct ImageResources {
    std::string problem;  // why they can't be read; empty when they could
    PeLayout layout;
    std::vector<Resource> resources;
};

// Reads the layout and the resources of the PE image at the start of a file.
ImageResources read_image_resources(std::FILE* file, std::int64_t file_size);

// Brands an image (the whole launcher file, `name` for messages): the icon and the version
// details replaced, everything else as it was. Empty on success, else the message.
std::string brand_image(std::vector<std::uint8_t>& image, const std::string& name,
                        const Branding& branding);
