// Branding a launcher image: the settings a build takes, the check that an image is one of this
// project's launchers, and the image's resources read and rewritten.
#include "packer_branding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "packer_internal.h"

namespace {

bool is_string_key(std::string_view key) {
    return std::find(std::begin(version_string_keys), std::end(version_string_keys), key) !=
           std::end(version_string_keys);
}

bool is_number_key(std::string_view key) {
    return key == file_version_number_key || key == product_version_number_key;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string known_keys() {
    std::string keys;
    for (const char* key : version_string_keys)
        keys += std::string(key) + ", ";
    return keys + file_version_number_key + " and " + product_version_number_key;
}

std::string unknown_key_problem(std::string_view key) {
    std::string problem = "unknown key '" + terminal_text(key) + "'";
    for (const char* known : version_string_keys) {
        if (same_ignoring_case(key, known))
            return problem + "; did you mean " + known + "?";
    }
    for (const char* known : {file_version_number_key, product_version_number_key}) {
        if (same_ignoring_case(key, known))
            return problem + "; did you mean " + known + "?";
    }
    return problem + "; the keys are " + known_keys();
}

// Sets a string in a table; an empty value removes it.
void set_string(VersionStringTable& table, const std::u16string& key, const std::u16string& value) {
    auto found = std::find_if(table.strings.begin(), table.strings.end(),
                              [&](const auto& entry) { return entry.first == key; });
    if (found == table.strings.end()) {
        if (!value.empty())
            table.strings.emplace_back(key, value);
    } else if (value.empty()) {
        table.strings.erase(found);
    } else {
        found->second = value;
    }
}

// One of the two versions, number and string, from the settings: what was given decides the other.
std::string apply_version_pair(VersionInfo& info, VersionNumber& number,
                               const VersionSetting* given_number,
                               const VersionSetting* given_string, const char* string_key) {
    if (given_number != nullptr) {
        number = *parse_version_number(given_number->value);
        if (given_string == nullptr) {
            const std::u16string text = from_utf8(version_text(number));
            for (VersionStringTable& table : info.tables)
                set_string(table, from_utf8(string_key), text);
        }
        return {};
    }
    if (given_string == nullptr || given_string->value.empty())
        return {};
    const std::optional<VersionNumber> parsed = parse_version_number(given_string->value, true);
    if (!parsed) {
        return given_string->origin + ": " + in_quotes(given_string->value) +
               " does not begin with a version number; give " + string_key +
               "Number=a.b.c.d "
               "as well, for the number Windows compares";
    }
    number = *parsed;
    return {};
}

}  // namespace

std::string parse_version_setting(std::string_view text, const std::string& origin,
                                  VersionSetting& setting) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return origin + ": give KEY=VALUE";
    setting.key = std::string(text.substr(0, equals));
    setting.origin = origin;
    if (!is_string_key(setting.key) && !is_number_key(setting.key))
        return origin + ": " + unknown_key_problem(setting.key);
    std::optional<std::u16string> value = from_utf8_strict(text.substr(equals + 1));
    if (!value)
        return origin + ": the value is not valid UTF-8";
    setting.value = std::move(*value);
    if (setting.value.find(u'\0') != std::u16string::npos)
        return origin + ": the value holds U+0000, which would end it";
    if (setting.value.size() > max_version_text_units) {
        return origin + ": the value has " + std::to_string(setting.value.size()) +
               " UTF-16 code units, more than the " + std::to_string(max_version_text_units) +
               " a version detail may have";
    }
    if (is_number_key(setting.key) && !parse_version_number(setting.value)) {
        return origin + ": " + in_quotes(setting.value) +
               " is no version number: give one to four numbers from 0 to 65535 joined by dots, "
               "such as 2.1.0.0";
    }
    return {};
}

std::string add_version_setting(Branding& branding, VersionSetting setting) {
    for (const VersionSetting& earlier : branding.version_info) {
        if (earlier.key == setting.key)
            return setting.origin + ": " + setting.key + " is given twice (also by " +
                   earlier.origin + ")";
    }
    branding.version_info.push_back(std::move(setting));
    return {};
}

std::string set_branding_icon(Branding& branding, std::filesystem::path icon, std::string origin) {
    if (branding.icon)
        return origin + ": the icon is given twice (also by " + branding.icon_origin + ")";
    branding.icon = std::move(icon);
    branding.icon_origin = std::move(origin);
    return {};
}

std::string apply_version_settings(VersionInfo& info, const std::vector<VersionSetting>& settings) {
    if (info.tables.empty())
        info.tables.push_back({u"040904B0", {}});  // U.S. English, Unicode
    if (info.translations.empty())
        info.translations.push_back(0x04B00409);
    const VersionSetting* given[4] = {};  // file number, product number, file and product strings
    for (const VersionSetting& setting : settings) {
        if (setting.key == file_version_number_key) {
            given[0] = &setting;
            continue;
        }
        if (setting.key == product_version_number_key) {
            given[1] = &setting;
            continue;
        }
        given[2] = setting.key == "FileVersion" ? &setting : given[2];
        given[3] = setting.key == "ProductVersion" ? &setting : given[3];
        for (VersionStringTable& table : info.tables)
            set_string(table, from_utf8(setting.key), setting.value);
    }
    if (std::string problem =
            apply_version_pair(info, info.file_version, given[0], given[2], "FileVersion");
        !problem.empty()) {
        return problem;
    }
    return apply_version_pair(info, info.product_version, given[1], given[3], "ProductVersion");
}

std::string add_branding_options(const std::string& icon,
                                 const std::vector<std::string>& version_info, Branding& branding) {
    if (!icon.empty()) {
        if (std::string problem =
                set_branding_icon(branding, path_from_utf8(icon), "--icon " + icon);
            !problem.empty()) {
            return problem;
        }
    }
    for (const std::string& text : version_info) {
        VersionSetting setting;
        const std::string origin = "--version-info " + text.substr(0, text.find('='));
        std::string problem = parse_version_setting(text, origin, setting);
        if (problem.empty())
            problem = add_version_setting(branding, std::move(setting));
        if (!problem.empty())
            return problem;
    }
    return {};
}

std::string merge_branding(Branding& into, const Branding& from) {
    if (from.icon) {
        if (std::string problem = set_branding_icon(into, *from.icon, from.icon_origin);
            !problem.empty()) {
            return problem;
        }
    }
    for (const VersionSetting& setting : from.version_info) {
        if (std::string problem = add_version_setting(into, setting); !problem.empty())
            return problem;
    }
    return {};
}

std::string read_manifest_branding(const ManifestDocument& document,
                                   const std::filesystem::path& base_dir,
                                   const std::string& manifest_name, Branding& branding) {
    if (document.icon) {
        if (document.icon->kind != ManifestValue::Kind::string || document.icon->text.empty())
            return "\"icon\" must be a non-empty string: the path of a .ico file";
        std::filesystem::path icon = path_from_utf8(document.icon->text);
        if (icon.is_relative())
            icon = base_dir / icon;
        (void)set_branding_icon(branding, std::move(icon), manifest_name + " \"icon\"");
    }
    if (!document.version_info)
        return {};
    if (!document.version_info->object)
        return "\"version_info\" must be an object of texts, such as {\"ProductName\": \"Acme\"}";
    for (const auto& [key, value] : document.version_info->fields) {
        const std::string origin = manifest_name + " \"version_info\"";
        if (value.kind != ManifestValue::Kind::string)
            return "\"version_info\": \"" + terminal_text(key) + "\" must be a string";
        VersionSetting setting;
        if (std::string problem = parse_version_setting(key + "=" + value.text, origin, setting);
            !problem.empty()) {
            return "\"version_info\": " + problem.substr(origin.size() + 2);
        }
        setting.origin = origin + " " + key;
        (void)add_version_setting(branding, std::move(setting));
    }
    return {};
}

// --- This project's launchers --------------------------------------------------------------------

namespace {

// The name of the first assembly identity in a manifest's text: the application's own, which
// comes before those of the assemblies it depends on. Empty when there is none.
std::string manifest_assembly_name(const std::vector<std::uint8_t>& manifest) {
    const std::string_view text(reinterpret_cast<const char*>(manifest.data()), manifest.size());
    const std::size_t element = text.find("<assemblyIdentity");
    if (element == std::string_view::npos)
        return {};
    const std::size_t element_end = text.find('>', element);
    for (std::size_t at = text.find("name=", element); at < element_end;
         at = text.find("name=", at + 1)) {
        const char before = text[at - 1];
        const std::size_t value = at + 5;
        if ((before != ' ' && before != '\t' && before != '\n' && before != '\r') ||
            value >= text.size() || (text[value] != '"' && text[value] != '\'')) {
            continue;
        }
        const std::size_t close = text.find(text[value], value + 1);
        if (close == std::string_view::npos || close > element_end)
            return {};
        return std::string(text.substr(value + 1, close - value - 1));
    }
    return {};
}

const Resource* first_of_type(const std::vector<Resource>& resources, std::uint16_t type) {
    const Resource* first = nullptr;
    for (const Resource& resource : resources) {
        if (resource.type == resource_id(type) &&
            (first == nullptr || resource_key_less(resource.name, first->name))) {
            first = &resource;
        }
    }
    return first;
}

}  // namespace

std::string launcher_identity_problem(const std::vector<Resource>& resources) {
    std::vector<std::string> missing;
    if (!find_resource(resources, resource_id(rt_dialog), resource_id(129)))
        missing.push_back("no dialog template 129 (the language dialog)");
    if (!find_resource(resources, resource_id(rt_dialog), resource_id(130)))
        missing.push_back("no dialog template 130 (the progress window)");
    const Resource* manifest = first_of_type(resources, rt_manifest);
    if (manifest == nullptr) {
        missing.push_back("no manifest");
    } else if (const std::string name = manifest_assembly_name(manifest->data);
               name != launcher_assembly_name) {
        missing.push_back(name.empty() ? std::string("no assembly identity in its manifest")
                                       : "a manifest of the assembly '" + terminal_text(name) +
                                             "', not " + launcher_assembly_name);
    }
    std::string problem;
    for (std::size_t index = 0; index < missing.size(); ++index) {
        problem += index == 0 ? "it has " : index + 1 == missing.size() ? " and " : ", ";
        problem += missing[index];
    }
    return problem;
}

std::string read_file_bytes(const std::filesystem::path& path, std::uint64_t limit,
                            std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    FileHandle file(open_file(path, "rb"));
    if (!file)
        return "can't open: " + errno_text(errno);
    std::uint8_t buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        if (bytes.size() + got > limit) {
            bytes.clear();
            return "is larger than " + std::to_string(limit) + " bytes";
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(file.get()))
        return "can't read: " + errno_text(errno);
    return {};
}

// --- An image's resources
// --------------------------------------------------------------------------

namespace {

// A resource section read from a file is at most this large; the launcher's is a few KiB.
constexpr std::uint32_t max_resource_section_read = 32u << 20;

bool read_at(std::FILE* file, std::int64_t offset, std::vector<std::uint8_t>& bytes) {
    return seek_stream(file, offset, SEEK_SET) && read_exact(file, bytes.data(), bytes.size());
}

}  // namespace

ImageResources read_image_resources(std::FILE* file, std::int64_t file_size) {
    ImageResources image;
    std::vector<std::uint8_t> headers(
        static_cast<std::size_t>(std::clamp<std::int64_t>(file_size, 0, max_pe_headers_size)));
    if (!read_at(file, 0, headers)) {
        image.problem = "can't read its headers";
        return image;
    }
    image.problem = read_pe_layout(headers, static_cast<std::uint64_t>(file_size), image.layout);
    const PeSection* section = image.problem.empty() ? resource_section(image.layout) : nullptr;
    if (section == nullptr)
        return image;
    if (section->raw_size > max_resource_section_read) {
        image.problem = "has a resource section of " + std::to_string(section->raw_size) +
                        " bytes, more than is read";
        return image;
    }
    std::vector<std::uint8_t> bytes(section->raw_size);
    if (!read_at(file, section->raw_offset, bytes)) {
        image.problem = "can't read its resource section";
        return image;
    }
    image.problem =
        read_resources(bytes, section->virtual_address, image.layout.resource_rva, image.resources);
    return image;
}

namespace {

std::string read_icon(const std::filesystem::path& path, std::vector<IconImage>& images) {
    std::vector<std::uint8_t> bytes;
    std::string problem = read_file_bytes(path, max_icon_file_size, bytes);
    if (problem.empty())
        problem = read_icon_file(bytes, images);
    return problem.empty() ? problem : path_to_utf8(path) + ": " + problem;
}

std::string rebuild_version(std::vector<Resource>& resources,
                            const std::vector<VersionSetting>& settings) {
    auto old = std::find_if(resources.begin(), resources.end(), [](const Resource& resource) {
        return resource.type == resource_id(rt_version);
    });
    VersionInfo info;
    if (old != resources.end() && !read_version_info(old->data, info).empty())
        info = VersionInfo{};
    if (std::string problem = apply_version_settings(info, settings); !problem.empty())
        return problem;
    Resource version{resource_id(rt_version), resource_id(1), 0x0409, 0, {}};
    if (old != resources.end()) {
        version = *old;
        resources.erase(old);
    }
    if (std::string problem = write_version_info(info, version.data); !problem.empty())
        return problem;
    resources.push_back(std::move(version));
    return {};
}

}  // namespace

std::string brand_image(std::vector<std::uint8_t>& image, const std::string& name,
                        const Branding& branding) {
    PeLayout layout;
    if (std::string problem = read_pe_layout(image, image.size(), layout); !problem.empty())
        return name + ": " + problem;
    const PeSection* section = resource_section(layout);
    if (section == nullptr || section->raw_size == 0)
        return name + ": has no resources, so it can't take an icon or version details";
    std::vector<Resource> resources;
    const ByteSpan bytes = ByteSpan(image).subspan(section->raw_offset, section->raw_size);
    if (std::string problem =
            read_resources(bytes, section->virtual_address, layout.resource_rva, resources);
        !problem.empty()) {
        return name + ": its resources can't be read: " + problem;
    }
    if (branding.icon) {
        std::vector<IconImage> images;
        if (std::string problem = read_icon(*branding.icon, images); !problem.empty())
            return problem;
        replace_icon_group(resources, images);
    }
    if (!branding.version_info.empty()) {
        if (std::string problem = rebuild_version(resources, branding.version_info);
            !problem.empty()) {
            return problem;
        }
    }
    if (std::string problem = replace_resources(image, layout, resources); !problem.empty())
        return name + ": can't take an icon or version details: it " + problem;
    return {};
}
