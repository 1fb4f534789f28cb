// The PE resource reader and writer, icons, version details, branding at build time, the
// launcher check and the installed launchers' places.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "packer.h"
#include "packer_install.h"
#include "pe_test_images.h"

namespace fs = std::filesystem;
using pe_test::Bytes;

namespace {

// The checksum as Windows computes it, word by word with the carry folded in at every step.
std::uint32_t reference_checksum(const Bytes& file, std::size_t field) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 2) {
        std::uint32_t word = file[at] | (at + 1 < file.size() ? file[at + 1] << 8 : 0);
        if (at >= field && at < field + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<std::uint32_t>(file.size());
}

Bytes noise(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

// A PNG file's first bytes as far as the icon reader looks: signature and IHDR's size.
Bytes png(std::uint32_t width, std::uint32_t height) {
    Bytes bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (std::uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    bytes.resize(40, 7);
    return bytes;
}

Bytes bitmap(std::uint8_t size, std::uint16_t bits) {
    Bytes bytes(40 + 64, 0);
    pe_test::put(bytes, 0, 40, 4);
    pe_test::put(bytes, 4, size, 4);
    pe_test::put(bytes, 8, 2u * size, 4);
    pe_test::put(bytes, 14, bits, 2);
    return bytes;
}

// A .ico file of the given images, each with its entry's size and bit count.
Bytes ico(const std::vector<std::pair<std::uint8_t, Bytes>>& images) {
    Bytes file = {0, 0, 1, 0, static_cast<std::uint8_t>(images.size()), 0};
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (const auto& [size, data] : images) {
        const Bytes entry = {size, size, 0, 0, 1, 0, 32, 0};
        file.insert(file.end(), entry.begin(), entry.end());
        append_u32(file, static_cast<std::uint32_t>(data.size()));
        append_u32(file, offset);
        offset += static_cast<std::uint32_t>(data.size());
    }
    for (const auto& image : images)
        file.insert(file.end(), image.second.begin(), image.second.end());
    return file;
}

std::vector<Resource> resources_of(const Bytes& image) {
    PeLayout layout;
    EXPECT_EQ(read_pe_layout(image, image.size(), layout), "");
    const PeSection* section = resource_section(layout);
    EXPECT_NE(section, nullptr);
    std::vector<Resource> resources;
    if (section != nullptr) {
        EXPECT_EQ(read_resources(ByteSpan(image).subspan(section->raw_offset, section->raw_size),
                                 section->virtual_address, layout.resource_rva, resources),
                  "");
    }
    return resources;
}

class BrandingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "branding_test_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path path(const std::string& name) const { return dir_ / name; }
    static void write(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    static Bytes read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
};

Branding version_branding(const std::vector<std::string>& settings) {
    Branding branding;
    for (const std::string& text : settings) {
        VersionSetting setting;
        EXPECT_EQ(parse_version_setting(text, "--version-info", setting), "") << text;
        EXPECT_EQ(add_version_setting(branding, std::move(setting)), "") << text;
    }
    return branding;
}

}  // namespace

TEST(PeResources, WrittenTreesReadBackInTheDirectorysOrder) {
    std::vector<Resource> resources = pe_test::launcher_resources();
    resources.push_back({{0, u"CONFIG", true}, {0, u"Second", true}, 0x0407, 1252, Bytes{1, 2, 3}});
    resources.push_back({{0, u"CONFIG", true}, resource_id(7), 0x0409, 0, Bytes(1000, 9)});
    resources.push_back({resource_id(rt_dialog), resource_id(129), 0x0407, 0, Bytes{5}});
    const Bytes section = write_resources(resources, 0x3000);
    std::vector<Resource> read;
    ASSERT_EQ(read_resources(section, 0x3000, 0x3000, read), "");
    ASSERT_EQ(read.size(), resources.size());
    // Names come before numbers at every level, languages ascending.
    EXPECT_EQ(read[0].type.name, u"CONFIG");
    EXPECT_EQ(read[0].name.name, u"Second");
    EXPECT_EQ(read[0].codepage, 1252u);
    EXPECT_EQ(read[1].name, resource_id(7));
    EXPECT_EQ(read[2].language, 0x0407);
    EXPECT_EQ(read[3].language, 0x0409);
    for (const Resource& original : resources) {
        const auto found = std::find_if(read.begin(), read.end(), [&](const Resource& r) {
            return r.type == original.type && r.name == original.name &&
                   r.language == original.language;
        });
        ASSERT_NE(found, read.end());
        EXPECT_EQ(found->data, original.data);
    }
    // Every piece of data begins on an 8-byte boundary.
    EXPECT_EQ(write_resources(read, 0x3000), section);
}

TEST(PeResources, DamagedDirectoriesAreRefusedWithoutReadingOutside) {
    const Bytes good = write_resources(pe_test::launcher_resources(), 0x1000);
    struct Damage {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        const char* problem;
    } damages[] = {
        {"root entry count", 14, 0xFFFF, "a resource directory lies outside the resource section"},
        {"type directory offset", 20, 0x8000FFF0, "a resource directory lies outside"},
        {"a name's directory is a leaf", 20, 0x20, "not three levels deep"},
        {"data entry offset", 0x58 + 20, 0xFFF0, "data entry lies outside"},
        {"data before the section", 0xA0, 0x0800, "data lies outside the resource section"},
        {"data past the section", 0xA4, 0x10000, "data lies outside the resource section"},
        {"a loop back to the root", 0x20 + 20, 0x80000000, "not three levels deep"},
        {"a name outside", 16, 0x8000FFF0, "a resource name lies outside"},
    };
    for (const Damage& damage : damages) {
        Bytes bytes = good;
        pe_test::put(bytes, damage.at, damage.value, 4);
        std::vector<Resource> resources;
        EXPECT_NE(read_resources(bytes, 0x1000, 0x1000, resources).find(damage.problem),
                  std::string::npos)
            << damage.what << ": " << read_resources(bytes, 0x1000, 0x1000, resources);
        EXPECT_TRUE(resources.empty()) << damage.what;
    }
    // Every entry naming the same data, half the section each: a small section can't make the
    // reader copy more than it holds.
    std::vector<Resource> many;
    for (std::uint16_t id = 1; id <= 8; ++id)
        many.push_back({resource_id(10), resource_id(id), 0, 0, Bytes(100, 1)});
    Bytes shared = write_resources(many, 0);
    const std::size_t entries_at = (16 + 8) + (16 + 8 * 8) + 8 * (16 + 8);
    for (std::size_t entry = 0; entry < 8; ++entry) {
        pe_test::put(shared, entries_at + 16 * entry, 0, 4);
        pe_test::put(shared, entries_at + 16 * entry + 4,
                     static_cast<std::uint32_t>(shared.size() / 2), 4);
    }
    std::vector<Resource> read;
    EXPECT_EQ(read_resources(shared, 0, 0, read),
              "the resource directory names more data than its section holds");
}

TEST(PeChecksumTest, EqualsWindowsSumWhateverTheChunks) {
    for (std::size_t size : {0u, 1u, 7u, 64u, 4097u, 100003u}) {
        const Bytes file = noise(size, static_cast<std::uint32_t>(size));
        // The field lies on a 4-byte boundary, as in every PE header.
        for (std::size_t field :
             {std::size_t{0}, std::size_t{8}, std::size_t{0xD8}, size / 8 * 4}) {
            for (std::size_t chunk : {1u, 3u, 4096u, 1u << 20}) {
                PeChecksum checksum(field);
                for (std::size_t at = 0; at < file.size(); at += chunk)
                    checksum.add(ByteSpan(file).subspan(at, std::min(chunk, file.size() - at)));
                EXPECT_EQ(checksum.value(), reference_checksum(file, field))
                    << size << " " << field << " " << chunk;
            }
        }
    }
}

TEST(IconFiles, ReadOrRefusedWithTheReason) {
    const Bytes good = ico({{16, bitmap(16, 32)}, {0, png(256, 256)}});
    std::vector<IconImage> images;
    ASSERT_EQ(read_icon_file(good, images), "");
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width, 16);
    EXPECT_FALSE(images[0].png);
    EXPECT_EQ(images[1].width, 256);
    EXPECT_TRUE(images[1].png);
    EXPECT_EQ(images[1].data, png(256, 256));

    Bytes outside = good;
    pe_test::put(outside, 6 + 12, 0xFFFFFF00, 4);
    Bytes cut = good;
    cut.resize(30);
    Bytes wrong_png = ico({{32, png(16, 16)}});
    Bytes not_image = ico({{16, Bytes(60, 'x')}});
    Bytes zero_size = good;
    pe_test::put(zero_size, 6 + 8, 0, 4);
    Bytes too_many = good;
    too_many[4] = 65;
    const struct {
        const char* what;
        Bytes bytes;
        const char* problem;
    } cases[] = {
        {"empty", {}, "is no icon file"},
        {"a cursor", {0, 0, 2, 0, 1, 0}, "is no icon file"},
        {"no images", {0, 0, 1, 0, 0, 0}, "holds no images"},
        {"too many images", too_many, "holds 65 images, more than an icon may have (64)"},
        {"cut in its directory", cut, "is cut short: its directory names 2 images"},
        {"an image outside", outside, "image 1 (16x16) lies outside the file"},
        {"an empty image", zero_size, "image 1 (16x16) lies outside the file"},
        {"a PNG of another size", wrong_png, "is a PNG image of another size than its entry"},
        {"neither PNG nor bitmap", not_image, "is neither a PNG image nor a bitmap"},
        {"oversized", Bytes(max_icon_file_size + 1, 0), "more than an icon may have (1048576)"},
    };
    for (const auto& [what, bytes, problem] : cases) {
        EXPECT_NE(read_icon_file(bytes, images).find(problem), std::string::npos)
            << what << ": " << read_icon_file(bytes, images);
        EXPECT_TRUE(images.empty()) << what;
    }
}

TEST(VersionDetails, SettingsAreCheckedAsTheyAreRead) {
    const struct {
        const char* text;
        const char* problem;  // empty: accepted
    } cases[] = {
        {"ProductName=Acme Tool", ""},
        {"Comments=", ""},
        {"FileVersionNumber=2.1", ""},
        {"ProductVersionNumber=65535.0.0.1", ""},
        {"ProductName", "--version-info: give KEY=VALUE"},
        {"productname=x", "unknown key 'productname'; did you mean ProductName?"},
        {"Vendor=x", "unknown key 'Vendor'; the keys are ProductName, CompanyName"},
        {"FileVersionNumber=1.2.3.4.5", "'1.2.3.4.5' is no version number"},
        {"FileVersionNumber=65536", "'65536' is no version number"},
        {"FileVersionNumber=2.x", "'2.x' is no version number"},
        {"ProductName=\xff", "the value is not valid UTF-8"},
        {"Comments=a\x1b[2Jb", ""},
    };
    for (const auto& [text, problem] : cases) {
        VersionSetting setting;
        const std::string result = parse_version_setting(text, "--version-info", setting);
        if (*problem == '\0')
            EXPECT_EQ(result, "") << text;
        else
            EXPECT_NE(result.find(problem), std::string::npos) << text << ": " << result;
    }
    VersionSetting setting;
    EXPECT_NE(parse_version_setting("Comments=" + std::string(1025, 'x'), "--version-info", setting)
                  .find("1025 UTF-16 code units, more than the 1024"),
              std::string::npos);
    EXPECT_NE(parse_version_setting(std::string("Comments=a\0b", 11), "--version-info", setting)
                  .find("U+0000"),
              std::string::npos);
    Branding branding = version_branding({"ProductName=A"});
    ASSERT_EQ(parse_version_setting("ProductName=B", "manifest.json", setting), "");
    EXPECT_EQ(add_version_setting(branding, setting),
              "manifest.json: ProductName is given twice (also by --version-info)");
}

TEST(VersionDetails, NumbersAndTextsFollowEachOther) {
    const struct {
        std::vector<std::string> settings;
        const char* file_number;
        const char* file_text;  // null: not in the table
        const char* product_number;
        const char* problem;
    } cases[] = {
        {{}, "1.0.0.0", "1.0.0.0", "1.0.0.0", ""},
        {{"FileVersion=2.5 beta"}, "2.5.0.0", "2.5 beta", "1.0.0.0", ""},
        {{"FileVersionNumber=3.1.4.1"}, "3.1.4.1", "3.1.4.1", "1.0.0.0", ""},
        {{"FileVersion=nightly", "FileVersionNumber=4.0"}, "4.0.0.0", "nightly", "1.0.0.0", ""},
        {{"ProductVersion=7.2"}, "1.0.0.0", "1.0.0.0", "7.2.0.0", ""},
        {{"FileVersion="}, "1.0.0.0", nullptr, "1.0.0.0", ""},
        {{"FileVersion=nightly"},
         "",
         "",
         "",
         "does not begin with a version number; give "
         "FileVersionNumber=a.b.c.d as well"},
    };
    for (const auto& c : cases) {
        VersionInfo info;
        info.file_version = info.product_version = {1, 0, 0, 0};
        info.tables.push_back({u"040904B0", {{u"FileVersion", u"1.0.0.0"}}});
        const std::string problem =
            apply_version_settings(info, version_branding(c.settings).version_info);
        if (*c.problem != '\0') {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            continue;
        }
        ASSERT_EQ(problem, "");
        EXPECT_EQ(version_text(info.file_version), c.file_number);
        EXPECT_EQ(version_text(info.product_version), c.product_number);
        const auto& strings = info.tables.front().strings;
        const auto found = std::find_if(strings.begin(), strings.end(),
                                        [](const auto& s) { return s.first == u"FileVersion"; });
        if (c.file_text == nullptr)
            EXPECT_EQ(found, strings.end());
        else
            EXPECT_EQ(to_utf8(found->second), c.file_text);
    }
}

TEST(VersionDetails, WrittenResourcesReadBackAndOverlongOnesAreRefused) {
    VersionInfo info;
    info.file_version = {2, 1, 0, 7};
    info.product_version = {2, 1, 0, 0};
    info.tables.push_back({u"040904B0", {{u"ProductName", u"Acme Tool"}, {u"Comments", u"Ä€"}}});
    info.translations = {0x04B00409};
    Bytes bytes;
    ASSERT_EQ(write_version_info(info, bytes), "");
    EXPECT_EQ(get_u16(bytes, 0), bytes.size()) << "the root's length is the whole resource";
    VersionInfo read;
    ASSERT_EQ(read_version_info(bytes, read), "");
    EXPECT_EQ(read.file_version, info.file_version);
    EXPECT_EQ(read.product_version, info.product_version);
    ASSERT_EQ(read.tables.size(), 1u);
    EXPECT_EQ(read.tables[0].key, u"040904B0");
    EXPECT_EQ(read.tables[0].strings, info.tables[0].strings);
    EXPECT_EQ(read.translations, info.translations);
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, bytes.size() / 2}) {
        Bytes damaged(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_NE(read_version_info(damaged, read), "") << cut;
    }
    for (int count = 0; count < 40; ++count)
        info.tables[0].strings.emplace_back(u"Comments", std::u16string(1024, u'x'));
    EXPECT_NE(write_version_info(info, bytes).find("more than the 65535 bytes"), std::string::npos);
}

TEST(ParseVersionNumber, OneToFourNumbers) {
    const struct {
        std::u16string_view text;
        bool prefix;
        const char* number;  // null: refused
    } cases[] = {
        {u"2", false, "2.0.0.0"},       {u"2.1.3.4", false, "2.1.3.4"},
        {u"2.1 beta", true, "2.1.0.0"}, {u"2.1 beta", false, nullptr},
        {u"2.", true, nullptr},         {u"", false, nullptr},
        {u"1.2.3.4.5", true, nullptr},  {u"65536", false, nullptr},
        {u"00001.2", false, "1.2.0.0"}, {u"v2", true, nullptr},
    };
    for (const auto& [text, prefix, number] : cases) {
        const auto parsed = parse_version_number(text, prefix);
        if (number == nullptr)
            EXPECT_FALSE(parsed) << to_utf8(text);
        else
            EXPECT_EQ(parsed ? version_text(*parsed) : "-", number) << to_utf8(text);
    }
}

TEST(LauncherIdentity, NamesWhatAnImageLacks) {
    const auto without = [](std::uint16_t type, std::uint16_t name) {
        std::vector<Resource> resources = pe_test::launcher_resources();
        std::erase_if(resources, [&](const Resource& r) {
            return r.type == resource_id(type) && r.name == resource_id(name);
        });
        return resources;
    };
    std::vector<Resource> quoted = pe_test::launcher_resources();
    quoted[2].data = pe_test::text_bytes("<assembly><assemblyIdentity name='SetupLauncher'/>");
    std::vector<Resource> dependency_only = pe_test::launcher_resources();
    dependency_only[2].data = pe_test::text_bytes(
        "<assembly><assemblyIdentity type=\"win32\" name=\"Other\"/><dependency>"
        "<assemblyIdentity name=\"SetupLauncher\"/></dependency></assembly>");
    const struct {
        const char* what;
        std::vector<Resource> resources;
        const char* problem;
    } cases[] = {
        {"the launcher", pe_test::launcher_resources(), ""},
        {"single quotes", quoted, ""},
        {"no language dialog", without(rt_dialog, 129),
         "it has no dialog template 129 (the language dialog)"},
        {"no progress window", without(rt_dialog, 130),
         "it has no dialog template 130 (the progress window)"},
        {"no manifest", without(rt_manifest, 1), "it has no manifest"},
        {"another program", pe_test::launcher_resources("Acme.Installer"),
         "it has a manifest of the assembly 'Acme.Installer', not SetupLauncher"},
        {"its own identity counts", dependency_only,
         "it has a manifest of the assembly 'Other', not SetupLauncher"},
        {"nothing",
         {},
         "it has no dialog template 129 (the language dialog), no dialog template 130 (the "
         "progress window) and no manifest"},
    };
    for (const auto& [what, resources, problem] : cases)
        EXPECT_EQ(launcher_identity_problem(resources), problem) << what;
}

TEST_F(BrandingTest, BrandedImagesChangeOnlyTheirIconVersionAndLayout) {
    for (bool pe32_plus : {false, true}) {
        std::vector<Resource> resources = pe_test::launcher_resources();
        VersionInfo version;
        version.tables.push_back({u"040904B0", {{u"ProductName", u"Setup Launcher"}}});
        version.translations = {0x04B00409};
        Bytes version_bytes;
        ASSERT_EQ(write_version_info(version, version_bytes), "");
        resources.push_back({resource_id(rt_version), resource_id(1), 0x0409, 0, version_bytes});
        replace_icon_group(resources, {IconImage{16, 16, 0, 1, 4, false, bitmap(16, 4)}});
        const Bytes original = pe_test::image_with_resources(pe32_plus, 0, resources);
        write(path("icon.ico"), ico({{48, bitmap(48, 32)}, {0, png(256, 256)}}));
        Branding branding = version_branding({"ProductName=Acme Tool", "FileVersion=2.1"});
        ASSERT_EQ(set_branding_icon(branding, path("icon.ico"), "--icon"), "");
        Bytes image = original;
        ASSERT_EQ(brand_image(image, "launcher.exe", branding), "");

        PeLayout layout;
        ASSERT_EQ(read_pe_layout(image, image.size(), layout), "");
        const std::vector<Resource> branded = resources_of(image);
        for (const Resource& kept : pe_test::launcher_resources()) {
            const Resource* found = find_resource(branded, kept.type, kept.name);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->data, kept.data) << "dialogs and manifest stay byte for byte";
        }
        const std::vector<IconImage> icons = image_icons(branded);
        ASSERT_EQ(icons.size(), 2u);
        EXPECT_EQ(icons[0].width, 48);
        EXPECT_EQ(icons[1].data, png(256, 256));
        EXPECT_EQ(std::count_if(branded.begin(), branded.end(),
                                [](const Resource& r) { return r.type == resource_id(rt_icon); }),
                  2)
            << "the old icon is gone";
        const std::optional<VersionInfo> info = image_version(branded);
        ASSERT_TRUE(info);
        EXPECT_EQ(version_text(info->file_version), "2.1.0.0");
        // The headers agree with the new section.
        const PeSection& section = layout.sections.back();
        EXPECT_EQ(layout.resource_size, section.virtual_size);
        EXPECT_EQ(section.raw_size % 0x200, 0u);
        EXPECT_EQ(image.size(), std::size_t{section.raw_offset} + section.raw_size);
        EXPECT_EQ(layout.size_of_image, (0x1000 + section.virtual_size + 0xFFF) & ~0xFFFu);
        EXPECT_EQ(layout.checksum, reference_checksum(image, pe_checksum_offset(layout)));
        // Before the section, only the fields that describe it changed.
        std::vector<std::size_t> changed;
        for (std::size_t at = 0; at < pe_test::resource_offset; ++at) {
            if (image[at] != original[at])
                changed.push_back(at);
        }
        for (std::size_t at : changed) {
            const bool allowed =
                (at >= pe_checksum_offset(layout) && at < pe_checksum_offset(layout) + 4) ||
                (at >= pe_test::optional_offset + 56 && at < pe_test::optional_offset + 60) ||
                (at >= pe_data_directory_offset(layout, 2) + 4 &&
                 at < pe_data_directory_offset(layout, 2) + 8) ||
                (at >= pe_section_header_offset(layout, 0) + 8 &&
                 at < pe_section_header_offset(layout, 0) + 20) ||
                (at >= pe_test::optional_offset + 8 && at < pe_test::optional_offset + 12);
            EXPECT_TRUE(allowed) << "byte " << at << " changed";
        }
    }
}

TEST_F(BrandingTest, ImagesThatCantTakeBrandingAreLeftAsTheyWere) {
    const Branding branding = version_branding({"ProductName=Acme"});
    Bytes trailing = pe_test::image_with_resources(false, 0, pe_test::launcher_resources());
    trailing.resize(trailing.size() + 0x200, 1);
    Bytes no_resources = pe_test::image_with_resources(false, 0, {});
    pe_test::put(no_resources, pe_test::optional_offset + 96 + 16, 0, 4);
    Bytes second_section = pe_test::image_with_resources(false, 0, pe_test::launcher_resources());
    // A section header after .rsrc that places a section behind it in memory.
    const std::size_t header = pe_test::optional_offset + 224 + 40;
    pe_test::put(second_section, pe_test::pe_offset + 6, 2, 2);
    std::copy_n(".reloc", 6, second_section.begin() + header);
    pe_test::put(second_section, header + 12, 0x5000, 4);
    // A section header after .rsrc whose data, from the file's start, runs into the resources.
    Bytes overlapping = second_section;
    std::copy_n(".bss\0\0", 6, overlapping.begin() + header);
    pe_test::put(overlapping, header + 12, 0, 4);
    pe_test::put(overlapping, header + 16, 0x400, 4);
    Bytes inside_headers = pe_test::image_with_resources(false, 0, pe_test::launcher_resources());
    // Headers that declare 0x400 bytes, over the section's data at 0x200.
    pe_test::put(inside_headers, pe_test::optional_offset + 60, 0x400, 4);
    const struct {
        const char* what;
        Bytes image;
        const char* problem;
    } cases[] = {
        {"data after the last section", trailing, "it has data after its last section"},
        {"resources inside the headers", inside_headers,
         "it has its resource section's data inside its headers"},
        {"no resources", no_resources, "has no resources, so it can't take an icon"},
        {"a section after the resources", second_section,
         "it has its resource section before the .reloc section"},
        {"a section whose data overlaps the resources", overlapping,
         "it has a section (.bss) whose data overlaps its resources"},
        {"no PE image", Bytes(100, 'x'), "is no Windows executable"},
    };
    for (const auto& [what, original, problem] : cases) {
        Bytes image = original;
        EXPECT_NE(brand_image(image, "l.exe", branding).find(problem), std::string::npos)
            << what << ": " << brand_image(image, "l.exe", branding);
        EXPECT_EQ(image, original) << what;
    }
}

TEST_F(BrandingTest, BuildsBrandWriteAWholeFileChecksumOrNothing) {
    write(path("launcher.exe"),
          pe_test::image_with_resources(false, 0, pe_test::launcher_resources()));
    write(path("payload.bin"), noise(3001, 5));
    write(path("icon.ico"), ico({{32, bitmap(32, 32)}}));
    write(path("bad.ico"), Bytes{0, 0, 2, 0, 1, 0});
    const auto request = [&](Branding branding, const std::string& output) {
        BuildRequest build;
        build.launcher = path("launcher.exe");
        build.output = path(output);
        build.branding = std::move(branding);
        PackItem item;
        item.source = path("payload.bin");
        item.name = u"payload.bin";
        item.origin = "--file payload.bin";
        build.items.push_back(item);
        return build;
    };
    Branding branding = version_branding({"CompanyName=Acme"});
    ASSERT_EQ(set_branding_icon(branding, path("icon.ico"), "--icon icon.ico"), "");
    ASSERT_TRUE(build_launcher(request(branding, "setup.exe")).ok());
    const Bytes setup = read(path("setup.exe"));
    PeLayout layout;
    ASSERT_EQ(read_pe_layout(setup, setup.size(), layout), "");
    EXPECT_EQ(layout.checksum, reference_checksum(setup, pe_checksum_offset(layout)));
    const VerifyReport report = verify_launcher(path("setup.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    ASSERT_TRUE(report.image.version);
    EXPECT_EQ(report.image.version->tables.front().strings.back().first, u"CompanyName");
    EXPECT_EQ(report.image.icons.size(), 1u);
    EXPECT_TRUE(report.image.setup_launcher);

    Branding bad_icon;
    ASSERT_EQ(set_branding_icon(bad_icon, path("bad.ico"), "--icon bad.ico"), "");
    EXPECT_EQ(build_launcher(request(bad_icon, "bad.exe")).message(),
              path_to_utf8(path("bad.ico")) +
                  ": is no icon file: it does not begin with the header of a .ico file");
    Branding missing_icon;
    ASSERT_EQ(set_branding_icon(missing_icon, path("none.ico"), "--icon none.ico"), "");
    EXPECT_EQ(build_launcher(request(missing_icon, "bad.exe")).message(),
              path_to_utf8(path("none.ico")) + ": can't open: No such file or directory");
    EXPECT_FALSE(fs::exists(path("bad.exe"))) << "nothing is written";
}

TEST_F(BrandingTest, ForeignLaunchersOnlyWhenAllowedAndNamedForWhatTheyAre) {
    write(path("other.exe"),
          pe_test::image_with_resources(true, 0, pe_test::launcher_resources("Acme.Tool")));
    BuildRequest request;
    request.launcher = path("other.exe");
    request.output = path("out.exe");
    request.items.push_back(
        {PackItem::Kind::command, {}, u"x.exe", {}, {}, false, false, "--c", {}});
    EXPECT_EQ(build_launcher(request).message(),
              path_to_utf8(path("other.exe")) +
                  ": is no setup launcher: it has a manifest of the assembly 'Acme.Tool', not "
                  "SetupLauncher; --allow-foreign-launcher packs it all the same");
    EXPECT_FALSE(fs::exists(path("out.exe")));
    request.foreign_launcher = true;
    ASSERT_TRUE(build_launcher(request).ok());
    const ChainListing listing = list_attachments(path("out.exe"));
    EXPECT_EQ(listing.launcher, "") << "no launcher of ours";
    EXPECT_EQ(describe_image(listing.image),
              "an x86-64 Windows program that is no setup launcher (PE32+)");
    EXPECT_EQ(verify_launcher(path("out.exe")).summary,
              "OK: 1 attachment, 0 bytes of file data, an x86-64 Windows program that is no "
              "setup launcher (PE32+)");
}

TEST(InstalledLaunchers, LookedForBesideTheProgram) {
    EXPECT_EQ(installed_launcher_candidates("/usr/bin/setup_packer", "i686"),
              (std::vector<fs::path>{"/usr/share/setup_launcher/setup_launcher-i686.exe",
                                     "/usr/bin/setup_launcher-i686.exe"}));
    EXPECT_EQ(installed_launcher_candidates("C:/tools/setup_packer.exe", "x86-64").back(),
              fs::path("C:/tools/setup_launcher-x86_64.exe"));
    EXPECT_FALSE(own_executable_path().empty());
}

TEST(ManifestBranding, IconAndVersionDetailsOrTheProblem) {
    const fs::path base = "/payload";
    const ManifestResult good = parse_manifest(
        R"({"icon": "art/app.ico", "attachments": [{"command": "x.exe"}],
            "version_info": {"ProductName": "Acme", "FileVersionNumber": "2.1"}})",
        base, "setup.json");
    ASSERT_TRUE(good.status.ok()) << good.status.message();
    EXPECT_EQ(good.branding.icon, fs::path("/payload/art/app.ico"));
    EXPECT_EQ(good.branding.icon_origin, "setup.json \"icon\"");
    ASSERT_EQ(good.branding.version_info.size(), 2u);
    EXPECT_EQ(good.branding.version_info[0].origin, "setup.json \"version_info\" ProductName");
    EXPECT_EQ(good.items.size(), 1u);

    const struct {
        const char* json;
        const char* problem;
    } cases[] = {
        {R"({"icon": 3, "attachments": []})",
         "setup.json: \"icon\" must be a non-empty string: the path of a .ico file"},
        {R"({"version_info": ["ProductName"], "attachments": []})",
         "setup.json: \"version_info\" must be an object of texts"},
        {R"({"version_info": {"ProductName": 1}, "attachments": []})",
         "setup.json: \"version_info\": \"ProductName\" must be a string"},
        {R"({"version_info": {"Productname": "x"}, "attachments": []})",
         "setup.json: \"version_info\": unknown key 'Productname'; did you mean ProductName?"},
        {R"({"version_info": {"FileVersionNumber": "two"}, "attachments": []})",
         "setup.json: \"version_info\": 'two' is no version number"},
        {R"({"version_info": {"Comments": "a", "Comments": "b"}, "attachments": []})",
         "setup.json:1:36: in \"version_info\": the key \"Comments\" appears twice"},
        {R"({"icons": "a.ico", "attachments": []})", "setup.json:1:2: unknown key 'icons'"},
    };
    for (const auto& [json, problem] : cases) {
        const ManifestResult result = parse_manifest(json, base, "setup.json");
        EXPECT_EQ(result.status.message().rfind(problem, 0), 0u)
            << json << ": " << result.status.message();
    }

    // The command line's branding after the manifest's: the same detail twice is refused.
    Branding branding = good.branding;
    EXPECT_EQ(add_branding_options("other.ico", {}, branding),
              "--icon other.ico: the icon is given twice (also by setup.json \"icon\")");
    branding = good.branding;
    EXPECT_EQ(add_branding_options("", {"CompanyName=A", "ProductName=B"}, branding),
              "--version-info ProductName: ProductName is given twice (also by setup.json "
              "\"version_info\" ProductName)");
    Branding twice;
    EXPECT_EQ(merge_branding(twice, good.branding), "");
    EXPECT_NE(merge_branding(twice, good.branding), "");
}

TEST_F(BrandingTest, ArchitectureOfAGivenLauncherIsChecked) {
    write(path("x64.exe"), pe_test::image_with_resources(true, 0, pe_test::launcher_resources()));
    fs::path launcher;
    EXPECT_TRUE(resolve_launcher(path_to_utf8(path("x64.exe")), "x86-64", launcher).ok());
    EXPECT_EQ(launcher, path("x64.exe"));
    EXPECT_TRUE(resolve_launcher(path_to_utf8(path("x64.exe")), "", launcher).ok());
    EXPECT_EQ(resolve_launcher(path_to_utf8(path("x64.exe")), "i686", launcher).message(),
              path_to_utf8(path("x64.exe")) + ": is an x86-64 image, and --arch asks for i686");
    // Without --launcher, the places beside this test program, none of which holds one.
    const Status none = resolve_launcher("", "x86-64", launcher);
    EXPECT_NE(none.message().find("no --launcher given, and no x86-64 launcher is installed "
                                  "beside setup_packer: looked for "),
              std::string::npos)
        << none.message();
    EXPECT_NE(none.message().find("setup_launcher-x86_64.exe and "), std::string::npos);
}
