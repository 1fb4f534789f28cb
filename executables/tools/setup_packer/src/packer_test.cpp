#include "packer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "pe_test_images.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Deterministic pseudo-random bytes; the signature's 12 bytes never occur in them by chance.
Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

std::uint32_t zlib_adler(const Bytes& bytes) {
    return static_cast<std::uint32_t>(
        ::adler32(::adler32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

Bytes utf16le(std::u16string_view text) {
    Bytes bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

std::ptrdiff_t find_bytes(const Bytes& haystack, const Bytes& needle) {
    const auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return found == haystack.end() ? -1 : found - haystack.begin();
}

// A minimal PE image of a Windows GUI program (i386 or AMD64) that stands in for the launcher:
// DOS header, "PE\0\0", file header, optional header with the subsystem and 16 data
// directories, the section table ending before 0x200, and at 0x200 a resource section with the
// launcher's dialog templates and manifest identity (pe_test_images.h).
Bytes pe_image(bool pe32_plus, std::size_t size = 1024) {
    return pe_test::image_with_resources(pe32_plus, size, pe_test::launcher_resources());
}

// A PE image of a Windows console program: no launcher, but a Windows program a launcher file
// may begin with.
Bytes console_image(std::size_t size) {
    Bytes bytes = pe_image(false, size);
    bytes[0x80 + 24 + 68] = 3;  // the console subsystem
    return bytes;
}

// Sets entry 4 of the data directories, the certificate table, of a pe_image.
void set_certificate_table(Bytes& bytes, bool pe32_plus, std::uint32_t offset, std::uint32_t size) {
    const std::size_t entry = 0x80 + 24 + (pe32_plus ? 112 : 96) + 4 * 8;
    for (int i = 0; i < 4; ++i) {
        bytes[entry + i] = static_cast<std::uint8_t>(offset >> (8 * i));
        bytes[entry + 4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
}

class PackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern_text = (fs::temp_directory_path() / "packer_test_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern_text.data()), nullptr);
        dir_ = pattern_text;
        launcher_ = dir_ / "launcher.exe";
        write(launcher_, pe_image(false, 4096));
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path path(const std::string& name) const { return dir_ / name; }

    static void write(const fs::path& path, const Bytes& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }
    static Bytes read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    PackItem file(const std::string& source, std::u16string name, const Bytes& content) {
        write(path(source), content);
        PackItem item;
        item.source = path(source);
        item.name = std::move(name);
        item.origin = "--file " + source;
        return item;
    }
    static PackItem command(std::u16string program, std::u16string parameters = {},
                            std::optional<std::uint16_t> lcid = {}, bool in_dir = false,
                            bool quiet = false) {
        PackItem item;
        item.kind = PackItem::Kind::command;
        item.name = std::move(program);
        item.parameters = std::move(parameters);
        item.lcid = lcid;
        item.in_extraction_dir = in_dir;
        item.quiet = quiet;
        item.origin = "--command";
        return item;
    }

    Status build(std::vector<PackItem> items, const std::string& output = "out.exe",
                 bool force = false, ProgressCallback progress = {}) {
        BuildRequest request;
        request.launcher = launcher_;
        request.output = path(output);
        request.force = force;
        request.items = std::move(items);
        request.progress = std::move(progress);
        return build_launcher(request);
    }

    std::vector<std::string> directory_entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
    fs::path launcher_;
};

// A launcher file with one attachment per plan, written in the given order after the launcher.
Bytes chain_of(const Bytes& image, const std::vector<std::pair<AttachmentPlan, Bytes>>& parts) {
    Bytes file = image;
    for (const auto& [plan, data] : parts) {
        file.insert(file.end(), data.begin(), data.end());
        const Bytes header = encode_attachment_header(plan, attachment_signature());
        file.insert(file.end(), header.begin(), header.end());
    }
    return file;
}

AttachmentPlan file_spec(std::u16string name, const Bytes& data) {
    AttachmentPlan plan;
    plan.name = std::move(name);
    plan.flags = flag_is_file;
    plan.data_size = data.size();
    plan.checksum = zlib_adler(data);
    return plan;
}

TEST_F(PackerTest, RoundTripGivesBackEveryByteAndEveryField) {
    const Bytes readme = {'h', 'e', 'l', 'l', 'o', '\n'};
    const Bytes big = pattern(2 * copy_chunk_size + 17, 3);  // crosses chunk borders
    const Bytes nested = pattern(1000, 5);
    const Bytes launcher_before = read(launcher_);
    std::vector<PackItem> items = {
        file("in/readme.txt", u"readme.txt", readme),
        file("in/big.bin", u"sub/dir/big.bin", big),
        command(u"msiexec.exe", u"/p update.msp REINSTALL=ALL", 0x0407, true),
        file("in/nested.txt", u"win\\style\\n\u00e4sted.txt", nested),
        file("in/empty.dat", u"empty.dat", {}),
        command(u"cleanup.exe", {}, {}, false, true),
        command(u"setup.exe", u"/lang en", 0x0409),
    };
    std::uint64_t last_done = 0, last_total = 0;
    ASSERT_TRUE(build(items, "out.exe", false, [&](std::uint64_t done, std::uint64_t total) {
                    EXPECT_GE(done, last_done);
                    last_done = done;
                    last_total = total;
                }).ok());
    EXPECT_EQ(last_done, 4096 + readme.size() + big.size() + nested.size());
    EXPECT_EQ(last_total, last_done);

    EXPECT_EQ(read(launcher_), launcher_before) << "the input launcher is never modified";
    const Bytes output = read(path("out.exe"));
    ASSERT_GT(output.size(), launcher_before.size());
    EXPECT_TRUE(std::equal(launcher_before.begin(), launcher_before.end(), output.begin()));

    const ChainListing listing = list_attachments(path("out.exe"));
    ASSERT_TRUE(listing.status.ok()) << listing.status.message();
    EXPECT_EQ(listing.chain_end, static_cast<std::int64_t>(output.size()));
    ASSERT_EQ(listing.attachments.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const AttachmentHeader& header = listing.attachments[i].header;
        EXPECT_EQ(listing.attachments[i].index, i + 1);
        EXPECT_EQ(header.name, items[i].name) << i;
        EXPECT_EQ(header.parameters, items[i].parameters) << i;
    }
    const auto& headers = listing.attachments;
    EXPECT_EQ(headers[0].header.fields.flags, flag_is_file);
    EXPECT_EQ(headers[0].header.fields.checksum, zlib_adler(readme));
    EXPECT_EQ(headers[1].header.fields.data_size, big.size());
    EXPECT_EQ(headers[1].header.fields.checksum, zlib_adler(big));
    EXPECT_EQ(headers[2].header.fields.flags,
              flag_is_command | flag_has_lcid | flag_run_in_extraction_dir);
    EXPECT_EQ(headers[2].header.lcid, 0x0407);
    EXPECT_EQ(headers[4].header.fields.data_size, 0u);
    EXPECT_EQ(headers[4].header.fields.checksum, 1u) << "the Adler-32 of no data";
    EXPECT_EQ(headers[4].header.fields.flags, flag_is_file) << "an empty file is still a file";
    EXPECT_EQ(headers[5].header.fields.flags, flag_is_command | flag_quiet);
    EXPECT_EQ(headers[5].header.lcid, 0);
    EXPECT_EQ(headers[6].header.lcid, 0x0409);

    const VerifyReport report = verify_launcher(path("out.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    EXPECT_EQ(report.summary, "OK: 7 attachments, " +
                                  std::to_string(readme.size() + big.size() + nested.size()) +
                                  " bytes of file data, the i686 launcher (PE32)");

    const ExtractReport extracted = extract_launcher(path("out.exe"), path("x"));
    ASSERT_TRUE(extracted.status.ok()) << extracted.status.message();
    EXPECT_EQ(extracted.written.size(), 4u);
    EXPECT_EQ(read(path("x/readme.txt")), readme);
    EXPECT_EQ(read(path("x/sub/dir/big.bin")), big);
    EXPECT_EQ(read(path("x") / "win" / "style" / path_from_utf8("n\xC3\xA4sted.txt")), nested);
    EXPECT_TRUE(fs::is_regular_file(path("x/empty.dat")));
    EXPECT_EQ(fs::file_size(path("x/empty.dat")), 0u);
    std::size_t entries = 0;
    for (auto it = fs::recursive_directory_iterator(path("x")); it != fs::end(it); ++it) {
        entries += it->is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(entries, 4u) << "commands write nothing, and no temporary file stays";
}

TEST_F(PackerTest, AttachmentsLieOnDiskInReverseOfTheirProcessingOrder) {
    ASSERT_TRUE(
        build({file("a", u"first.txt", {1}), command(u"second.exe"), file("b", u"third.txt", {2})})
            .ok());
    const Bytes output = read(path("out.exe"));
    const std::ptrdiff_t first = find_bytes(output, utf16le(u"first.txt"));
    const std::ptrdiff_t second = find_bytes(output, utf16le(u"second.exe"));
    const std::ptrdiff_t third = find_bytes(output, utf16le(u"third.txt"));
    ASSERT_GE(third, 4096);
    EXPECT_LT(third, second);
    EXPECT_LT(second, first);
    // The attachment processed last begins right where the launcher image ends.
    EXPECT_EQ(output[4096], 2);
}

TEST_F(PackerTest, ManifestBuildsTheSameFileAsTheOptions) {
    write(path("m/data/one.bin"), pattern(300, 1));
    write(path("m/two.bin"), pattern(30, 2));
    const std::string json = R"({"attachments": [
        {"file": "data/one.bin"},
        {"command": "msiexec.exe", "params": "/i x", "in_extraction_dir": true, "quiet": true,
         "lcid": "0x0407"},
        {"file": "two.bin", "name": "sub/zwei.bin"},
        {"command": "de.exe", "lcid": 1031}
    ]})";
    write(path("m/setup.json"), Bytes(json.begin(), json.end()));
    const ManifestResult manifest = load_manifest(path("m/setup.json"));
    ASSERT_TRUE(manifest.status.ok()) << manifest.status.message();
    ASSERT_EQ(manifest.items.size(), 4u);
    EXPECT_EQ(manifest.items[0].source, path("m") / "data/one.bin");
    EXPECT_EQ(manifest.items[0].name, u"one.bin");
    ASSERT_TRUE(build(manifest.items, "from_manifest.exe").ok());

    PackItem one;
    ASSERT_TRUE(parse_file_argument(path_to_utf8(path("m/data/one.bin")), one).ok());
    PackItem two;
    ASSERT_TRUE(parse_file_argument(path_to_utf8(path("m/two.bin")) + "=sub/zwei.bin", two).ok());
    ASSERT_TRUE(build({one, command(u"msiexec.exe", u"/i x", 0x0407, true, true), two,
                       command(u"de.exe", {}, 0x0407)},
                      "from_options.exe")
                    .ok());
    EXPECT_EQ(read(path("from_manifest.exe")), read(path("from_options.exe")));
}

TEST(PackerManifest, MistakesNameTheManifestAndTheEntry) {
    auto problem = [](std::string_view json) {
        const ManifestResult result = parse_manifest(json, "/base", "setup.json");
        EXPECT_TRUE(result.items.empty());
        return result.status.message();
    };
    EXPECT_EQ(problem(R"({"attachments": [{"file": "a"}, {"file": "b", "nmae": "x"}]})"),
              "setup.json:1:33: attachment 2: unknown key 'nmae'");
    EXPECT_EQ(problem(R"({"attachments": [{"file": "a", "command": "b"}]})"),
              "setup.json:1:18: attachment 1: needs exactly one of \"file\" and \"command\"");
    const std::string forms = std::string("; give ") + lcid_forms;
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "lcid": "0x10000"}]})"),
              "setup.json:1:18: attachment 1: \"lcid\": 0x10000: larger than 0xFFFF" + forms);
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "lcid": "0407"}]})"),
              "setup.json:1:18: attachment 1: \"lcid\": 0407: did you mean 0x0407 (de-DE)?");
    for (const auto& [zero, shown] :
         {std::pair{R"("0")", "0"}, {"0", "0"}, {R"("0x0000")", "0x0000"}}) {
        EXPECT_EQ(
            problem(std::string(R"({"attachments": [{"command": "a", "lcid": )") + zero + "}]}"),
            "setup.json:1:18: attachment 1: \"lcid\": " + std::string(shown) +
                ": 0 is no language: the launcher takes it for none, so the command would never "
                "run" +
                forms)
            << zero;
    }
    for (const char* number : {"65536", "-1", "1031.5", "true"}) {
        EXPECT_EQ(
            problem(std::string(R"({"attachments": [{"command": "a", "lcid": )") + number + "}]}")
                .rfind("setup.json:1:18: attachment 1: \"lcid\": ", 0),
            0u)
            << number;
    }
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "quiet": "yes"}]})"),
              "setup.json:1:18: attachment 1: \"quiet\" must be true or false");
    EXPECT_EQ(problem(R"({"attachment": []})"),
              "setup.json:1:2: unknown key 'attachment' at the top level");
    EXPECT_EQ(problem(R"([])"), "setup.json: the top level must be an object");
    EXPECT_EQ(problem(R"({"attachments": [{"file": ""}]})"),
              "setup.json:1:18: attachment 1: \"file\" must be a non-empty string");
    EXPECT_EQ(problem(R"({"attachments": [)").rfind("setup.json: not valid JSON: ", 0), 0u);
    // Absolute paths stay as they are.
    const ManifestResult absolute =
        parse_manifest(R"({"attachments": [{"file": "/abs/x.bin"}]})", "/base", "m.json");
    ASSERT_EQ(absolute.items.size(), 1u);
    EXPECT_EQ(absolute.items[0].source, fs::path("/abs/x.bin"));
}

TEST(PackerManifest, DuplicateKeysAndNumbersOutOfRangeAreErrors) {
    auto problem = [](std::string_view json) {
        const ManifestResult result = parse_manifest(json, "/base", "setup.json");
        EXPECT_TRUE(result.items.empty());
        return result.status.message();
    };
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a"}, {"file": "a", "file": "b"}]})"),
              "setup.json:1:36: attachment 2: the key \"file\" appears twice");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "quiet": true, "quiet": false}]})"),
              "setup.json:1:18: attachment 1: the key \"quiet\" appears twice");
    EXPECT_EQ(problem(R"({"attachments": [], "attachments": [{"command": "a"}]})"),
              "setup.json:1:21: at the top level: the key \"attachments\" appears twice");
    EXPECT_EQ(problem(R"({"attachments": [{"command": {"x": 1, "x": 2}}]})"),
              "setup.json:1:39: in a nested object: the key \"x\" appears twice");
    // The same key in two entries is no duplicate.
    EXPECT_TRUE(
        parse_manifest(R"({"attachments": [{"command": "a"}, {"command": "b"}]})", "/b", "m.json")
            .status.ok());
    EXPECT_EQ(problem(R"({"attachments": [{"command": "x", "lcid": 1e400}]})"),
              "setup.json: a number is out of range: number overflow parsing '1e400'");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "x", "lcid": -1e400}]})"),
              "setup.json: a number is out of range: number overflow parsing '-1e400'");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "x", "lcid": 18446744073709551616}]})"),
              "setup.json:1:18: attachment 1: \"lcid\": not a language identifier; give " +
                  std::string(lcid_forms));
}

TEST(PackerManifest, TheTextIsCheckedFirstThenTheTopLevelThenEachEntryInOrder) {
    auto problem = [](std::string_view json) {
        return parse_manifest(json, "/base", "setup.json").status.message();
    };
    // A syntax error anywhere comes before a key given twice, and that before everything else.
    EXPECT_EQ(problem(R"({"attachments": [{"file": "a", "file": "b"}], "x": )")
                  .rfind("setup.json: not valid JSON: ", 0),
              0u);
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "x": {"y": 1, "y": 2}}]})"),
              "setup.json:1:49: in a nested object: the key \"y\" appears twice");
    // Unknown keys are named first in the order of their bytes, whatever the order given.
    EXPECT_EQ(problem(R"({"zeta": 1, "attachments": [], "alpha": 2})"),
              "setup.json:1:32: unknown key 'alpha' at the top level");
    EXPECT_EQ(problem(R"({"attachments": [{"file": "a", "zz": 1, "bb": 2}]})"),
              "setup.json:1:18: attachment 1: unknown key 'bb'");
    // An "attachments" array elsewhere than at the top level holds no entries.
    EXPECT_EQ(problem(R"({"attachments": [], "other": {"attachments": [{"file": 1}]}})"),
              "setup.json:1:21: unknown key 'other' at the top level");
    EXPECT_EQ(problem(R"({"attachments": {"file": "a"}})"),
              "setup.json:1:17: \"attachments\" must be an array");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a"}, ["file"]]})"),
              "setup.json:1:36: attachment 2: must be an object");
    // Values of the wrong kind, nested ones and null among them.
    EXPECT_EQ(problem(R"({"attachments": [{"file": {"x": 1}}]})"),
              "setup.json:1:18: attachment 1: \"file\" must be a non-empty string");
    EXPECT_EQ(problem(R"({"attachments": [{"command": ["a"]}]})"),
              "setup.json:1:18: attachment 1: \"command\" must be a string");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "quiet": null}]})"),
              "setup.json:1:18: attachment 1: \"quiet\" must be true or false");
    EXPECT_EQ(problem(R"({"attachments": [{"command": "a", "lcid": null}]})"),
              "setup.json:1:18: attachment 1: \"lcid\": not a language identifier; give " +
                  std::string(lcid_forms));

    const ManifestResult many = parse_manifest(
        R"({"attachments": [{"file": "x/a.bin"}, {"command": "c.exe", "params": "-q", "lcid": 1031,
            "quiet": true, "in_extraction_dir": false}, {"file": "/abs/b.bin", "name": "n/b"}]})",
        "/base", "m.json");
    ASSERT_TRUE(many.status.ok()) << many.status.message();
    ASSERT_EQ(many.items.size(), 3u);
    EXPECT_EQ(many.items[0].source, fs::path("/base/x/a.bin"));
    EXPECT_EQ(many.items[0].name, u"a.bin");
    EXPECT_EQ(many.items[1].parameters, u"-q");
    EXPECT_EQ(many.items[1].lcid, std::optional<std::uint16_t>(0x0407));
    EXPECT_TRUE(many.items[1].quiet);
    EXPECT_FALSE(many.items[1].in_extraction_dir);
    EXPECT_EQ(many.items[2].source, fs::path("/abs/b.bin"));
    EXPECT_EQ(many.items[2].name, u"n/b");
    EXPECT_EQ(many.items[2].origin, "m.json:2:57: attachment 3");
}

TEST(PackerFileArgument, SplitsAtTheLastEqualsSign) {
    PackItem item;
    ASSERT_TRUE(parse_file_argument("dir/a=b.bin", item).ok());
    EXPECT_EQ(item.source, fs::path("dir/a"));
    EXPECT_EQ(item.name, u"b.bin");
    ASSERT_TRUE(parse_file_argument("dir/x=y.bin=z/n\xC3\xA4me.bin", item).ok());
    EXPECT_EQ(item.source, fs::path("dir/x=y.bin"));
    EXPECT_EQ(item.name, u"z/n\u00e4me.bin");
    ASSERT_TRUE(parse_file_argument("dir/plain.msp", item).ok());
    EXPECT_EQ(item.name, u"plain.msp");
    EXPECT_FALSE(parse_file_argument("=name", item).ok());
    EXPECT_FALSE(parse_file_argument("a=\xC3", item).ok()) << "invalid UTF-8";
}

// Every form --lcid and a manifest's "lcid" take, the numbers that are refused with a suggestion,
// and the warning for a number that is no language the table knows.
TEST(PackerLanguages, TakeHexadecimalDecimalAndTagsAndSuggestTheHexadecimalReading) {
    const std::string forms = std::string("; give ") + lcid_forms;
    const std::string zero =
        "0 is no language: the launcher takes it for none, so the command would never run" + forms;
    const auto unknown = [](const char* hex) {
        return std::string(hex) +
               " is no Windows language that setup_packer knows (such as 0x0407 for de-DE); the "
               "language dialog may show it without a name";
    };
    const struct {
        const char* text;
        std::optional<std::uint16_t> lcid;
        std::string problem;
        std::string warning;
    } cases[] = {
        {"0x0407", 0x0407, "", ""},
        {"0X0409", 0x0409, "", ""},
        {"0x407", 0x0407, "", ""},
        {"1031", 0x0407, "", ""},
        {"2057", 0x0809, "", ""},
        {"de-DE", 0x0407, "", ""},
        {"DE-de", 0x0407, "", ""},
        {"en-029", 0x2409, "", ""},
        {"sr-Latn-RS", 0x241A, "", ""},
        {"es-ES_tradnl", 0x040A, "", ""},
        {"es-ES", 0x0C0A, "", ""},
        // The issue's mistake: a hexadecimal identifier without its "0x".
        {"407", {}, "did you mean 0x0407 (de-DE)?", ""},
        {"0407", {}, "did you mean 0x0407 (de-DE)?", ""},
        {"409", {}, "did you mean 0x0409 (en-US)?", ""},
        {"C07", {}, "did you mean 0x0C07 (de-AT)?", ""},
        {"de_DE", {}, "did you mean de-DE (0x0407)?", ""},
        {"xx-YY", {}, "no Windows language that setup_packer knows has the tag xx-YY" + forms, ""},
        // Numbers that are no language the table knows: taken, with a warning.
        {"1", 0x0001, "", unknown("0x0001")},
        {"0x1234", 0x1234, "", unknown("0x1234")},
        {"65535", 0xFFFF, "", unknown("0xFFFF")},
        {"0xFFFF", 0xFFFF, "", unknown("0xFFFF")},
        {"00", {}, "a decimal number with a leading zero" + forms, ""},
        {"0", {}, zero, ""},
        {"0x0", {}, zero, ""},
        {"0x10000", {}, "larger than 0xFFFF" + forms, ""},
        {"65536", {}, "larger than 0xFFFF" + forms, ""},
        {"99999999999999999999", {}, "larger than 0xFFFF" + forms, ""},
        {"0x", {}, "no digits after 0x" + forms, ""},
        {"", {}, "empty" + forms, ""},
        {"-1", {}, "not a number" + forms, ""},
        {"+5", {}, "not a number" + forms, ""},
        {"12a", {}, "not a number" + forms, ""},
        {"0x04 07", {}, "not a hexadecimal number" + forms, ""},
        {"0xg", {}, "not a hexadecimal number" + forms, ""},
    };
    for (const auto& [text, lcid, problem, warning] : cases) {
        const LcidResult result = parse_lcid(text);
        EXPECT_EQ(result.lcid, lcid) << text;
        EXPECT_EQ(result.problem, problem) << text;
        EXPECT_EQ(result.warning, warning) << text;
    }
    EXPECT_STREQ(language_tag(0x0407), "de-DE");
    EXPECT_STREQ(language_tag(0x540A), "es-US");
    EXPECT_EQ(language_tag(0x0400), nullptr);

    // A manifest takes the same forms, and passes the warning on with the entry's place.
    const ManifestResult manifest = parse_manifest(
        R"({"attachments": [{"command": "a", "lcid": "de-AT"},
 {"command": "b", "lcid": 4660}]})",
        "/base", "m.json");
    ASSERT_TRUE(manifest.status.ok()) << manifest.status.message();
    EXPECT_EQ(manifest.items[0].lcid, std::optional<std::uint16_t>(0x0C07));
    EXPECT_EQ(
        manifest.warnings,
        std::vector<std::string>{"m.json:2:2: attachment 2: \"lcid\": 4660: " + unknown("0x1234")});
    EXPECT_EQ(parse_manifest(R"({"attachments": [{"command": "a", "lcid": 407}]})", "/", "m.json")
                  .status.message(),
              "m.json:1:18: attachment 1: \"lcid\": 407: did you mean 0x0407 (de-DE)?");
}

TEST(PackerTerminalText, EscapesControlCharactersAndBytesThatAreNoUtf8) {
    EXPECT_EQ(terminal_text("plain d\xC3\xA4t\xC3\xA4 \xF0\x9F\x98\x80/x\\y"),
              "plain d\xC3\xA4t\xC3\xA4 \xF0\x9F\x98\x80/x\\y");
    EXPECT_EQ(terminal_text("a\x1B[2Jb\tc\nd\x7F"), "a\\x1B[2Jb\\x09c\\x0Ad\\x7F");
    EXPECT_EQ(terminal_text(std::string("nul\0!", 5)), "nul\\x00!");
    EXPECT_EQ(terminal_text("csi\xC2\x9B"
                            "2J, nel\xC2\x85"),
              "csi\\u009B2J, nel\\u0085");
    EXPECT_EQ(terminal_text("cut\xC3 bad\xFF lone\x80"), "cut\\xC3 bad\\xFF lone\\x80");
    EXPECT_EQ(terminal_text("\xC2\xA0nbsp"), "\xC2\xA0nbsp") << "U+00A0 is no control character";
}

TEST_F(PackerTest, VerifyAndExtractNameTheFirstCorruptedAttachment) {
    const Bytes good = pattern(5000, 11);
    const Bytes bad = pattern(7000, 12);
    ASSERT_TRUE(build({file("good.bin", u"good.bin", good), file("bad.bin", u"d/bad.bin", bad),
                       command(u"run.exe")})
                    .ok());
    Bytes output = read(path("out.exe"));
    const std::ptrdiff_t bad_data = find_bytes(output, bad);
    ASSERT_GT(bad_data, 0);
    output[static_cast<std::size_t>(bad_data) + 1234] ^= 0x01;
    write(path("out.exe"), output);
    Bytes flipped = bad;
    flipped[1234] ^= 0x01;

    const std::string expected = path_to_utf8(path("out.exe")) +
                                 ": attachment 2: file 'd/bad.bin' is corrupted: checksum " +
                                 hex(zlib_adler(flipped)) + " expected " + hex(zlib_adler(bad));
    const VerifyReport report = verify_launcher(path("out.exe"));
    EXPECT_FALSE(report.status.ok());
    EXPECT_EQ(report.status.message(), expected);

    // The listing reads only headers, so it shows everything.
    EXPECT_TRUE(list_attachments(path("out.exe")).status.ok());

    const ExtractReport extracted = extract_launcher(path("out.exe"), path("x"));
    EXPECT_EQ(extracted.status.message(), expected);
    EXPECT_EQ(read(path("x/good.bin")), good) << "the attachment before it is extracted";
    EXPECT_TRUE(fs::is_empty(path("x/d"))) << "neither the bad file nor its temporary file stays";
}

TEST_F(PackerTest, VerifyReportsHeaderDamageTrailingDataAndMissingAttachments) {
    EXPECT_EQ(verify_launcher(launcher_).summary, "no attachments");
    EXPECT_TRUE(verify_launcher(launcher_).status.ok());
    EXPECT_TRUE(list_attachments(launcher_).attachments.empty());

    ASSERT_TRUE(build({file("a.bin", u"a.bin", pattern(100, 1)), command(u"x.exe")}).ok());
    Bytes output = read(path("out.exe"));
    // Bytes after the chain that no PE header names a certificate table: the file was cut
    // short, or data was appended. The launcher would pass over them.
    Bytes appended = output;
    const Bytes table = pattern(4400, 9);
    appended.insert(appended.end(), table.begin(), table.end());
    write(path("appended.exe"), appended);
    const VerifyReport with_data = verify_launcher(path("appended.exe"));
    EXPECT_EQ(with_data.status.message(),
              path_to_utf8(path("appended.exe")) + ": 4400 bytes at offset " +
                  std::to_string(output.size()) +
                  " follow the last attachment, and no PE header names them a certificate "
                  "table: the launcher passes over them. The file may have been cut short "
                  "(losing the end of an attachment), or data was appended after packing");
    // Cut by 10 bytes, the file still holds the first attachment's signature: the bytes after
    // it were the command, which the launcher would never see.
    const Bytes cut(output.begin(), output.end() - 10);
    write(path("cut.exe"), cut);
    const VerifyReport cut_report = verify_launcher(path("cut.exe"));
    EXPECT_FALSE(cut_report.status.ok());
    EXPECT_NE(cut_report.status.message().find(" follow the last attachment"), std::string::npos)
        << cut_report.status.message();
    // list reads no file data, but the bytes after the chain it sees as verify does.
    const ChainListing cut_listing = list_attachments(path("cut.exe"));
    EXPECT_EQ(cut_listing.status.message(), cut_report.status.message());
    EXPECT_EQ(cut_listing.attachments.size(), 1u) << "the attachment before the cut is listed";

    // header_size of the last attachment (the command read first) one too large.
    output[output.size() - signature_size - 4] += 1;
    write(path("out.exe"), output);
    EXPECT_EQ(verify_launcher(path("out.exe")).status.message(),
              path_to_utf8(path("out.exe")) + ": attachment 1: header corrupt");
    const ChainListing listing = list_attachments(path("out.exe"));
    EXPECT_FALSE(listing.status.ok());
    EXPECT_TRUE(listing.attachments.empty());
}

TEST_F(PackerTest, BuildAndVerifyApplyTheSameNameRulesAsWindows) {
    const Bytes one = pattern(10, 1), two = pattern(20, 2);
    // Written by hand: the packer itself refuses to build such chains. Read order is the
    // reverse of the file order, so the second name is read first.
    const auto verify_pair = [&](std::u16string first, std::u16string second) {
        write(path("clash.exe"), chain_of(pe_image(false, 2048), {{file_spec(first, one), one},
                                                                  {file_spec(second, two), two}}));
        return verify_launcher(path("clash.exe")).status.message();
    };
    const std::string same_name =
        "an earlier file has the same name (Windows ignores the case of letters)";
    EXPECT_EQ(verify_pair(u"docs\\a.txt", u"Docs/A.TXT"),
              path_to_utf8(path("clash.exe")) +
                  ": attachment 2 'docs\\a.txt': can't be extracted: " + same_name);
    // Windows ignores the case of every letter, not only of A to Z.
    EXPECT_EQ(verify_pair(u"\u00c4.txt", u"\u00e4.txt"),
              path_to_utf8(path("clash.exe")) +
                  ": attachment 2 '\xC3\x84.txt': can't be extracted: " + same_name);
    EXPECT_EQ(
        build({file("a.bin", u"\u00c4rger/x", {1}), file("b.bin", u"\u00e4RGER/X", {2})}).message(),
        "--file b.bin: name '\xC3\xA4RGER/X': " + same_name);
    EXPECT_EQ(build({file("a.bin", u"\u0416", {1}), file("b.bin", u"\u0436/x", {2})}).message(),
              "--file b.bin: name '\xD0\xB6/x': an earlier file has the name of one of its "
              "directories");
    EXPECT_TRUE(build({file("a.bin", u"stra\u00dfe", {1}), file("b.bin", u"STRASSE", {2})}).ok())
        << "no one-unit uppercase of sharp s: two names on Windows";

    // A name the launcher can't extract below any extraction directory: build refuses it, and
    // so does verify, while list shows it.
    const std::u16string long_name(300, u'n');
    EXPECT_EQ(verify_pair(u"ok.txt", long_name),
              path_to_utf8(path("clash.exe")) + ": attachment 1: invalid file name '" +
                  to_utf8(long_name) + "': " + file_name_problem(long_name));
    EXPECT_EQ(file_name_problem(long_name).rfind("the name is too long for a Windows path", 0), 0u);
    EXPECT_EQ(list_attachments(path("clash.exe")).attachments.size(), 2u);
}

TEST_F(PackerTest, ListShowsKindsFlagsAndLanguagesOfForeignChains) {
    const Bytes data = pattern(64, 8);
    AttachmentPlan both = file_spec(u"tool.exe", data);
    both.flags = flag_is_command | flag_run_in_extraction_dir;  // data makes it a file as well
    both.parameters = u"/x";
    AttachmentPlan none;
    none.flags = 0xE0;
    AttachmentPlan localized;
    localized.name = u"de.exe";
    localized.flags = flag_is_command | flag_has_lcid;
    localized.lcid = 0x0407;
    write(path("foreign.exe"),
          chain_of(console_image(1024), {{localized, {}}, {none, {}}, {both, data}}));

    const ChainListing listing = list_attachments(path("foreign.exe"));
    ASSERT_TRUE(listing.status.ok()) << listing.status.message();
    ASSERT_EQ(listing.attachments.size(), 3u);
    EXPECT_EQ(attachment_kind(listing.attachments[0].header.fields), "both");
    EXPECT_EQ(attachment_kind(listing.attachments[1].header.fields), "none");
    EXPECT_EQ(attachment_kind(listing.attachments[2].header.fields), "command");
    EXPECT_EQ(flag_names(0xE4), "has_lcid,0xE0");
    EXPECT_EQ(flag_names(0), "-");

    const std::string checksum = hex(zlib_adler(data));
    const std::vector<std::string> lines = {
        "#  kind     name      parameters  language  flags                             size  "
        "checksum",
        "1  both     tool.exe  /x          -         is_command,run_in_extraction_dir    64  " +
            checksum,
        "2  none     -         -           -         0xE0                                 0  "
        "0x00000001",
        "3  command  de.exe    -           0x0407    is_command,has_lcid                  0  "
        "0x00000001"};
    std::string expected;
    for (const std::string& line : lines)
        expected += line + "\n";
    EXPECT_EQ(format_table(listing.attachments), expected);

    const std::string json = format_list_json(listing);
    EXPECT_EQ(json.rfind("{\n  \"format\": 1,\n  \"launcher\": null,\n  \"attachments\": [", 0), 0u)
        << json;
    const nlohmann::json document = nlohmann::json::parse(json);
    EXPECT_EQ(document["error"], nullptr);
    ASSERT_EQ(document["attachments"].size(), 3u);
    const nlohmann::json& first = document["attachments"][0];
    EXPECT_EQ(first["kind"], "both");
    EXPECT_EQ(first["language"], nullptr);
    EXPECT_EQ(first["checksum"], checksum);
    EXPECT_EQ(first["data_size"], 64);
    EXPECT_EQ(document["attachments"][2]["language"], "0x0407");
    EXPECT_EQ(document["attachments"][2]["flags"],
              nlohmann::json::array({"is_command", "has_lcid"}));
    EXPECT_EQ(document["attachments"][2]["flags_value"], flag_is_command | flag_has_lcid);

    // extract writes the data of the "both" attachment, the way the launcher does.
    const ExtractReport extracted = extract_launcher(path("foreign.exe"), path("x"));
    ASSERT_TRUE(extracted.status.ok()) << extracted.status.message();
    EXPECT_EQ(read(path("x/tool.exe")), data);
}

TEST_F(PackerTest, ListAndVerifyNameTheLauncherAFileCarries) {
    const std::vector<PackItem> items = {file("in/a.txt", u"a.txt", {'a'})};
    ASSERT_TRUE(build(items, "i686.exe").ok());
    write(launcher_, pe_image(true, 4096));
    ASSERT_TRUE(build(items, "x86-64.exe").ok());
    write(path("not_a_launcher"), console_image(4096));
    const Bytes chain = [&] {
        const Bytes packed = read(path("i686.exe"));
        return Bytes(packed.begin() + 4096, packed.end());
    }();
    Bytes foreign = read(path("not_a_launcher"));
    foreign.insert(foreign.end(), chain.begin(), chain.end());
    write(path("foreign"), foreign);

    for (const auto& [name, architecture] :
         {std::pair{"i686.exe", "i686"}, {"x86-64.exe", "x86-64"}, {"foreign", ""}}) {
        const ChainListing listing = list_attachments(path(name));
        EXPECT_EQ(listing.launcher, architecture) << name;
        const VerifyReport report = verify_launcher(path(name));
        ASSERT_TRUE(report.status.ok()) << report.status.message();
        EXPECT_EQ(report.launcher, architecture) << name;
    }
    EXPECT_EQ(verify_launcher(path("x86-64.exe")).summary,
              "OK: 1 attachment, 1 bytes of file data, the x86-64 launcher (PE32+)");
    EXPECT_EQ(verify_launcher(path("foreign")).summary, "OK: 1 attachment, 1 bytes of file data");
    EXPECT_NE(format_list_json(list_attachments(path("i686.exe"))).find("\"launcher\": \"i686\""),
              std::string::npos);
    EXPECT_NE(format_verify_json(verify_launcher(path("foreign"))).find("\"launcher\": null"),
              std::string::npos);
}

TEST_F(PackerTest, DirectoryPacksEveryRegularFileInTheOrderOfTheirPaths) {
    fs::create_directories(path("tree/b/deep/er"));
    fs::create_directories(path("tree/empty"));
    write(path("tree/b/deep/er/z.bin"), pattern(5000, 1));
    write(path("tree/a.txt"), {'a'});
    write(path("tree/b.txt"), {'b'});
    write(path("tree/\xC3\xA4.txt"), {'u'});
    fs::create_symlink("a.txt", path("tree/link.txt"));
    // Relative to its directory: the names are the paths below it, "/" between components,
    // sorted by their bytes ("b.txt" before "b/", '.' before '/'), a link to a file as the file.
    DirectoryArgument tree;
    ASSERT_TRUE(parse_directory_argument(path_to_utf8(path("tree")) + "=pay\\", tree).ok());
    std::vector<PackItem> items;
    ASSERT_TRUE(add_directory_files(tree, items).ok());
    std::vector<std::u16string> names;
    for (const PackItem& item : items)
        names.push_back(item.name);
    EXPECT_EQ(names,
              (std::vector<std::u16string>{u"pay\\a.txt", u"pay\\b.txt", u"pay\\b/deep/er/z.bin",
                                           u"pay\\link.txt", u"pay\\\u00e4.txt"}));
    EXPECT_EQ(items[3].source, path("tree/link.txt"));
    EXPECT_EQ(items[0].origin, "--directory " + path_to_utf8(path("tree")) + "=pay\\");
    ASSERT_TRUE(build(items).ok());
    EXPECT_EQ(list_attachments(path("out.exe")).attachments.size(), 5u);

    // What it can't pack, named with its path; nothing is added then.
    const auto refusal = [&](const fs::path& root) {
        DirectoryArgument argument;
        EXPECT_TRUE(parse_directory_argument(path_to_utf8(root), argument).ok());
        std::vector<PackItem> none;
        const Status status = add_directory_files(argument, none);
        EXPECT_TRUE(none.empty());
        return status.message();
    };
    fs::create_directories(path("odd"));
    fs::create_directory_symlink("../tree", path("odd/up"));
    EXPECT_EQ(refusal(path("odd")),
              path_to_utf8(path("odd/up")) +
                  ": is a symbolic link to a directory; --directory follows links to files only");
    fs::remove(path("odd/up"));
    fs::create_symlink("missing", path("odd/dangling"));
    EXPECT_EQ(refusal(path("odd")),
              path_to_utf8(path("odd/dangling")) + ": is a symbolic link to nothing");
    fs::remove(path("odd/dangling"));
    write(path("odd/\xFF.bin"), {1});
    EXPECT_EQ(refusal(path("odd")),
              path_to_utf8(path("odd")) + "/\\xFF.bin: the name is not valid UTF-8");
    EXPECT_EQ(refusal(path("nowhere")),
              path_to_utf8(path("nowhere")) + ": can't open: No such file or directory");
    EXPECT_EQ(refusal(path("tree/a.txt")),
              path_to_utf8(path("tree/a.txt")) + ": is not a directory; give a file with --file");
    DirectoryArgument empty;
    EXPECT_EQ(parse_directory_argument("=x", empty).message(), "--directory =x: the path is empty");
}

TEST_F(PackerTest, TheSetupFileIsAsExecutableAsTheLauncherButNeverSetUserId) {
    fs::permissions(launcher_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::set_uid | fs::perms::set_gid);
    ASSERT_TRUE(build({file("in/a.txt", u"a.txt", {'a'})}).ok());
    const fs::perms made = fs::status(path("out.exe")).permissions();
    EXPECT_EQ(made & (fs::perms::set_uid | fs::perms::set_gid | fs::perms::sticky_bit),
              fs::perms::none);
    EXPECT_EQ(made & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

TEST_F(PackerTest, RefusesToOverwriteWithoutForce) {
    write(path("out.exe"), {'o', 'l', 'd'});
    const Status refused = build({command(u"x.exe")});
    EXPECT_EQ(refused.message(),
              path_to_utf8(path("out.exe")) + ": already exists; use --force to replace it");
    EXPECT_EQ(read(path("out.exe")), Bytes({'o', 'l', 'd'}));

    ASSERT_TRUE(build({command(u"x.exe")}, "out.exe", true).ok());
    EXPECT_EQ(list_attachments(path("out.exe")).attachments.size(), 1u);

    // Not even --force lets the launcher or an input become the output.
    const Bytes launcher_before = read(launcher_);
    EXPECT_FALSE(build({command(u"x.exe")}, "launcher.exe", true).ok());
    EXPECT_EQ(read(launcher_), launcher_before);
    EXPECT_FALSE(build({file("in.bin", u"in.bin", {1, 2})}, "in.bin", true).ok());
    EXPECT_EQ(read(path("in.bin")), Bytes({1, 2}));
}

TEST_F(PackerTest, OnlyARegularFileIsReplacedEvenIfAnotherTurnsUpDuringTheBuild) {
    const PackItem data = file("in.bin", u"in.bin", pattern(2 * copy_chunk_size, 3));
    ASSERT_EQ(::mkfifo(path("pipe.exe").c_str(), 0600), 0);
    fs::create_symlink("launcher.exe", path("link.exe"));
    fs::create_directory(path("dir.exe"));
    for (const auto& [name, kind] :
         {std::pair("pipe.exe", "a named pipe"), std::pair("link.exe", "a symbolic link"),
          std::pair("dir.exe", "a directory")}) {
        for (const bool force : {false, true}) {
            EXPECT_EQ(build({data}, name, force).message(),
                      path_to_utf8(path(name)) + ": is " + kind +
                          ", not a regular file; the output must be a regular file or not exist");
        }
    }
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(path("pipe.exe"))));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path("link.exe"))));

    // Checked once more before the rename: a pipe that replaced the file meanwhile stays.
    write(path("out.exe"), {'o', 'l', 'd'});
    const std::vector<std::string> before = directory_entries();
    bool swapped = false;
    const Status status = build({data}, "out.exe", true, [&](std::uint64_t, std::uint64_t) {
        if (!std::exchange(swapped, true)) {
            fs::remove(path("out.exe"));
            ASSERT_EQ(::mkfifo(path("out.exe").c_str(), 0600), 0);
        }
    });
    EXPECT_EQ(status.message(),
              path_to_utf8(path("out.exe")) + ": is a named pipe, not a regular file");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(path("out.exe"))));
    EXPECT_EQ(directory_entries(), before) << "and the temporary file is gone";
}

TEST_F(PackerTest, RefusesLaunchersThatHoldTheSignatureOrAreSigned) {
    const Signature signature = attachment_signature();
    // Placed across the border of two read chunks, so that a search per chunk would miss it.
    Bytes image = pe_image(false, copy_chunk_size + 4096);
    const std::size_t offset = copy_chunk_size - 5;
    std::copy(signature.begin(), signature.end(), image.begin() + offset);
    write(launcher_, image);
    EXPECT_EQ(build({command(u"x.exe")})
                  .message()
                  .rfind(path_to_utf8(launcher_) + ": holds the attachment signature at offset " +
                             std::to_string(offset) + ";",
                         0),
              0u);

    for (bool pe32_plus : {false, true}) {
        // Any entry is refused, also one that names no table yet: the payload would make the
        // file long enough for an offset past its end.
        for (const auto& [offset, size] : {std::pair(0u, 0x1234u), std::pair(4096u, 0u)}) {
            Bytes image = pe_image(pe32_plus);
            set_certificate_table(image, pe32_plus, offset, size);
            write(launcher_, image);
            EXPECT_EQ(build({command(u"x.exe")}, "out.exe", true).message(),
                      path_to_utf8(launcher_) +
                          ": is signed (it has an Authenticode certificate table); pack the "
                          "unsigned launcher and sign the packed file afterwards")
                << pe32_plus;
        }
        write(launcher_, pe_image(pe32_plus));
        EXPECT_TRUE(build({command(u"x.exe")}, "out.exe", true).ok()) << pe32_plus;
    }
    fs::remove(launcher_);
    EXPECT_EQ(build({command(u"x.exe")}, "out.exe", true).message(),
              path_to_utf8(launcher_) + ": can't open: No such file or directory");
}

TEST_F(PackerTest, RefusesLaunchersThatAreNoWindowsGuiProgram) {
    const std::string name = path_to_utf8(launcher_);
    const std::string hint = "; --launcher takes the setup launcher";
    const auto refusal = [&](const Bytes& image) {
        write(launcher_, image);
        return build({command(u"x.exe")}, "out.exe", true).message();
    };
    EXPECT_EQ(refusal({}), name +
                               ": is no Windows executable: it does not begin with the \"MZ\" of "
                               "a DOS header" +
                               hint);
    Bytes image = pe_image(false);
    image[0x3C] = 0xF0;
    image[0x3D] = 0x03;  // e_lfanew 1008, less than 24 bytes before the end
    EXPECT_EQ(refusal(image), name +
                                  ": is no Windows PE image: its DOS header points at a PE header "
                                  "past the end of the file" +
                                  hint);
    image = pe_image(false);
    image[0x81] = 'X';
    EXPECT_EQ(refusal(image), name +
                                  ": is no Windows PE image: there is no \"PE\" signature at "
                                  "offset 128, where its DOS header points" +
                                  hint);
    image = pe_image(true);
    image[0x80 + 24 + 1] = 0x01;  // PE32 magic in an AMD64 image
    EXPECT_EQ(refusal(image),
              name + ": has no complete PE32+ optional header, which an AMD64 image needs" + hint);
    image = pe_image(false);
    image[0x80 + 24 + 68] = 10;  // an EFI application
    EXPECT_EQ(refusal(image), name +
                                  ": is no Windows GUI program: its subsystem is 10, the "
                                  "launcher's is 2 (Windows GUI)" +
                                  hint);
    EXPECT_FALSE(fs::exists(path("out.exe")));
    for (const bool pe32_plus : {false, true})
        EXPECT_EQ(refusal(pe_image(pe32_plus)), "") << pe32_plus;
}

TEST_F(PackerTest, RefusesNamesAndTextsTheLauncherCantUse) {
    const struct {
        std::u16string name;
        std::string problem;
    } refused[] = {
        {u"", "the name is empty"},
        {u"/abs.txt",
         "the name begins with a separator; it must be relative to the extraction "
         "directory"},
        {u"\\\\server\\share\\x",
         "the name begins with a separator; it must be relative to "
         "the extraction directory"},
        {u"C:\\x.txt",
         "the name contains ':', which would name a drive or an alternate data stream"},
        {u"a:b", "the name contains ':', which would name a drive or an alternate data stream"},
        {u"a\tb", "the name contains the control character U+0009"},
        {u"x\u001f", "the name contains the control character U+001F"},
        {u"a?b", "the name contains '?', which Windows does not allow in file names"},
        {u"dir/<x>", "the name contains '<', which Windows does not allow in file names"},
        {u"a\"b", "the name contains '\"', which Windows does not allow in file names"},
        {u"a|b", "the name contains '|', which Windows does not allow in file names"},
        {u"*", "the name contains '*', which Windows does not allow in file names"},
        {u"a//b.txt",
         "the name has an empty component (two separators in a row, or one at the end)"},
        {u"dir/", "the name has an empty component (two separators in a row, or one at the end)"},
        {u"../up.txt",
         "the name has the component '..', only dots and spaces, which Windows "
         "reads as '.' or '..' or drops"},
        {u"a/./b",
         "the name has the component '.', only dots and spaces, which Windows reads "
         "as '.' or '..' or drops"},
        {u"trailing.", "the component 'trailing.' ends in a dot or a space, which Windows drops"},
        {u"dir /x", "the component 'dir ' ends in a dot or a space, which Windows drops"},
        {u"con", "the name uses the Windows device name 'con'"},
        {u"sub/NUL.txt", "the name uses the Windows device name 'NUL'"},
        {u"deep/er/Com7.tar.gz", "the name uses the Windows device name 'Com7'"},
        {u"LPT\u00b2", "the name uses the Windows device name 'LPT\u00b2'"},
        {u"AUX .txt", "the name uses the Windows device name 'AUX'"},
        {u"prn/x", "the name uses the Windows device name 'prn'"},
        {u"conout$", "the name uses the Windows device name 'conout$'"},
    };
    for (const auto& [name, problem] : refused) {
        EXPECT_EQ(file_name_problem(name), problem) << to_utf8(name);
        const Status status = build({file("in.bin", name, {1})});
        EXPECT_EQ(status.message(),
                  "--file in.bin: name '" + terminal_text(to_utf8(name)) + "': " + problem);
    }
    EXPECT_EQ(file_name_problem(u"console.txt"), "");
    EXPECT_EQ(file_name_problem(u"d\u00e9j\u00e0 vu/\U0001F600.txt"), "");

    // Below C:\Users\<20 characters>\AppData\Local\Temp\VOQSETUP2147483648\ (68 units), the
    // longest extraction directory the launcher makes there, 191 units remain for the name and
    // 179 for its directories with their closing separator.
    EXPECT_EQ(max_file_name_units, 191u);
    EXPECT_EQ(max_directory_name_units, 179u);
    const std::string too_long_path =
        "the name is too long for a Windows path: at most 191 UTF-16 code units, and at most 179 "
        "up to its last separator, fit below an extraction directory such as "
        "C:\\Users\\UUUUUUUUUUUUUUUUUUUU\\AppData\\Local\\Temp\\VOQSETUP2147483648\\";
    EXPECT_EQ(file_name_problem(std::u16string(191, u'n')), "");
    EXPECT_EQ(file_name_problem(std::u16string(192, u'n')), too_long_path);
    EXPECT_EQ(file_name_problem(std::u16string(178, u'd') + u"/f"), "");
    EXPECT_EQ(file_name_problem(std::u16string(179, u'd') + u"/f"), too_long_path);
    EXPECT_TRUE(build({file("in.bin", std::u16string(191, u'n'), {1})}, "longest.exe").ok());

    const std::u16string longest(max_text_length, u'p');
    const std::u16string too_long(max_text_length + 1, u'p');
    EXPECT_EQ(build({command(u"x.exe", too_long)}).message(),
              "--command: the parameter text is longer than 65535 UTF-16 code units");
    EXPECT_EQ(build({command(too_long)}).message(),
              "--command: the program is longer than 65535 UTF-16 code units");
    EXPECT_EQ(build({command(u"")}).message(), "--command: the program is empty");
    EXPECT_EQ(build({command(u"x.exe", std::u16string(u"a\0b", 3))}).message(),
              "--command: the parameter text contains a NUL character");
    EXPECT_EQ(build({file("in.bin", too_long, {1})}).message(),
              "--file in.bin: name '" + to_utf8(too_long) +
                  "': the name is longer than 65535 UTF-16 code units");
    // Exactly 65535 code units fit.
    ASSERT_TRUE(build({command(longest, longest)}).ok());
    const ChainListing listing = list_attachments(path("out.exe"));
    ASSERT_EQ(listing.attachments.size(), 1u);
    EXPECT_EQ(listing.attachments[0].header.parameters, longest);

    EXPECT_EQ(
        build({file("a.bin", u"Dir/A.bin", {1}), file("b.bin", u"dir\\a.BIN", {2})}, "o2.exe")
            .message(),
        "--file b.bin: name 'dir\\a.BIN': an earlier file has the same name (Windows ignores the "
        "case of letters)");
    EXPECT_FALSE(fs::exists(path("o2.exe")));
}

TEST_F(PackerTest, FailedBuildLeavesNoOutputAndNoTemporaryFile) {
    write(path("in.bin"), {1, 2, 3});
    const std::vector<std::string> before = directory_entries();
    PackItem missing;
    missing.source = path("missing.bin");
    missing.name = u"missing.bin";
    missing.origin = "--file missing.bin";
    EXPECT_EQ(build({file("in.bin", u"in.bin", {1, 2, 3}), missing}).message(),
              path_to_utf8(path("missing.bin")) + ": can't open: No such file or directory");
    EXPECT_EQ(directory_entries(), before);

    PackItem directory;
    directory.source = dir_;
    directory.name = u"dir";
    directory.origin = "--file .";
    EXPECT_EQ(build({directory}).message(), path_to_utf8(dir_) + ": is a directory");
    EXPECT_EQ(directory_entries(), before);

    // A read error in the middle of the copy, after the temporary file exists: the kernel refuses
    // to read this file's first page.
    PackItem unreadable;
    unreadable.source = "/proc/self/mem";
    unreadable.name = u"mem.bin";
    unreadable.origin = "--file /proc/self/mem";
    const Status status = build({file("in.bin", u"in.bin", {1, 2, 3}), unreadable});
    EXPECT_EQ(status.message().rfind("/proc/self/mem: can't read", 0), 0u) << status.message();
    EXPECT_EQ(directory_entries(), before);

    // The same with --force over an existing output, which stays as it was.
    write(path("out.exe"), {'o', 'l', 'd'});
    EXPECT_FALSE(build({unreadable}, "out.exe", true).ok());
    EXPECT_EQ(read(path("out.exe")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(directory_entries().size(), before.size() + 1);

    // An output in a directory that does not exist.
    EXPECT_EQ(build({command(u"x.exe")}, "no/such/dir/out.exe")
                  .message()
                  .rfind(path_to_utf8(path("no/such/dir/out.exe")) +
                             ": can't create a temporary file beside it: ",
                         0),
              0u);
}

// An input is opened only when it is read, after the inputs behind it in the file were written;
// whatever is wrong, the message names the first input in the order given that can't be used,
// with or without a progress bar, and nothing is left behind.
TEST_F(PackerTest, BuildNamesTheFirstUnusableInputInTheOrderGiven) {
    // A socket can be looked at but not opened, by anyone.
    const fs::path socket_path = path("socket");
    const int socket_descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket_descriptor, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.native().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(
        ::bind(socket_descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(socket_descriptor);
    const auto input = [](const fs::path& source, std::u16string name) {
        PackItem item;
        item.source = source;
        item.name = std::move(name);
        item.origin = "--file " + source.string();
        return item;
    };
    const PackItem good = file("good.bin", u"good.bin", pattern(3000, 1));
    const PackItem socket = input(socket_path, u"socket");
    const PackItem directory = input(path("sub"), u"sub");
    fs::create_directory(path("sub"));
    const std::string socket_problem =
        path_to_utf8(socket_path) +
        ": is a socket, not a regular file; only regular files are packed";
    const std::string directory_problem = path_to_utf8(path("sub")) + ": is a directory";
    const std::vector<std::string> before = directory_entries();
    for (const bool with_progress : {false, true}) {
        const ProgressCallback progress =
            with_progress ? ProgressCallback([](std::uint64_t, std::uint64_t) {}) : nullptr;
        EXPECT_EQ(build({good, socket, directory}, "out.exe", false, progress).message(),
                  socket_problem);
        EXPECT_EQ(build({good, directory, socket}, "out.exe", false, progress).message(),
                  directory_problem);
        EXPECT_EQ(build({socket, good}, "out.exe", false, progress).message(), socket_problem);
        EXPECT_EQ(build({directory}, "out.exe", false, progress).message(), directory_problem);
        EXPECT_EQ(directory_entries(), before) << with_progress;
    }
    // With an output to replace, an input that is the output is refused, under any of its names.
    write(path("out.exe"), {'o', 'l', 'd'});
    fs::create_hard_link(path("out.exe"), path("alias.bin"));
    EXPECT_EQ(build({good, input(path("alias.bin"), u"alias.bin")}, "out.exe", true).message(),
              path_to_utf8(path("out.exe")) + ": is also an input file (--file " +
                  path("alias.bin").string() + ")");
    EXPECT_EQ(build({command(u"x.exe")}, "launcher.exe", true).message(),
              path_to_utf8(launcher_) +
                  ": is the launcher itself; the input is never modified, write the packed file "
                  "elsewhere");
    EXPECT_EQ(read(path("out.exe")), Bytes({'o', 'l', 'd'}));
}

// Build and extract are interrupted after their first chunk of file data, as a signal would
// interrupt them from outside: the process ends by the signal, and its partial file is gone.
TEST_F(PackerTest, InterruptedBuildAndExtractLeaveNoPartialFile) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this test's directory
    const auto interrupt_with = [](int signal_number) {
        return [signal_number](std::uint64_t done, std::uint64_t) {
            if (done > copy_chunk_size)
                std::raise(signal_number);
        };
    };
    const std::vector<PackItem> items = {
        file("big.bin", u"big.bin", pattern(3 * copy_chunk_size, 1)),
        file("small.bin", u"sub/small.bin", {1, 2})};
    const std::vector<std::string> before = directory_entries();
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT((void)build(items, "out.exe", false, interrupt_with(signal_number)),
                    ::testing::KilledBySignal(signal_number), "");
        EXPECT_EQ(directory_entries(), before) << signal_number;
    }

    ASSERT_TRUE(build({items[1], items[0]}).ok());
    EXPECT_EXIT((void)extract_launcher(path("out.exe"), path("x"), interrupt_with(SIGTERM)),
                ::testing::KilledBySignal(SIGTERM), "");
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(path("x")))
        left.push_back(fs::relative(entry.path(), path("x")).string());
    EXPECT_EQ(left, std::vector<std::string>({"sub", "sub/small.bin"}))
        << "the finished file stays, the partial one is gone";
}

TEST_F(PackerTest, ExtractNeverReplacesAFile) {
    ASSERT_TRUE(build({file("a.bin", u"a.bin", {1}), file("b.bin", u"sub/b.bin", {2})}).ok());
    write(path("x/sub/b.bin"), {'m', 'i', 'n', 'e'});
    const ExtractReport report = extract_launcher(path("out.exe"), path("x"));
    EXPECT_EQ(report.status.message(), path_to_utf8(path("x/sub/b.bin")) +
                                           ": already exists; use --overwrite to replace it");
    EXPECT_TRUE(report.written.empty()) << "targets are checked before anything is written";
    EXPECT_FALSE(fs::exists(path("x/a.bin")));
    EXPECT_EQ(read(path("x/sub/b.bin")), Bytes({'m', 'i', 'n', 'e'}));
}

TEST_F(PackerTest, ExtractFollowsNoSymbolicLinkBelowItsDirectory) {
    ASSERT_TRUE(build({file("a.bin", u"a.bin", pattern(2 * copy_chunk_size, 1)),
                       file("b.bin", u"d1/d2/b.bin", {2})})
                    .ok());
    fs::create_directories(path("elsewhere"));
    fs::create_directories(path("x/d1"));
    fs::create_directory_symlink(path("elsewhere"), path("x/d1/d2"));
    const std::string refusal =
        ": is a symbolic link; extract follows no links inside " + path_to_utf8(path("x"));
    EXPECT_EQ(extract_launcher(path("out.exe"), path("x")).status.message(),
              path_to_utf8(path("x/d1/d2")) + refusal);
    EXPECT_FALSE(fs::exists(path("x/a.bin"))) << "refused before anything is written";

    fs::remove(path("x/d1/d2"));
    write(path("x/d1/d2"), {'f'});
    EXPECT_EQ(extract_launcher(path("out.exe"), path("x")).status.message(),
              path_to_utf8(path("x/d1/d2")) + ": is not a directory");

    // A link that appears while the files are written is refused as well.
    fs::remove_all(path("x"));
    const ExtractReport report =
        extract_launcher(path("out.exe"), path("x"), [&](std::uint64_t, std::uint64_t) {
            if (!fs::exists(fs::symlink_status(path("x/d1"))))
                fs::create_directory_symlink(path("elsewhere"), path("x/d1"));
        });
    EXPECT_EQ(report.status.message(), path_to_utf8(path("x/d1")) + refusal);
    EXPECT_EQ(report.written, std::vector<fs::path>{path("x/a.bin")});
    EXPECT_TRUE(fs::is_empty(path("elsewhere")));
}

TEST_F(PackerTest, ChainsWithUnsafeNamesAreRefusedWithoutWritingAnything) {
    const Bytes data = pattern(10, 1);
    // Written by hand: the packer refuses such names. The safe file is read first.
    for (const std::u16string name :
         {u"..\\evil.txt", u"C:\\evil.txt", u"evil.txt:stream", u"evil?.txt", u"a\u0007.txt",
          u"dir//x", u"dir./x", u"CON", u"sub/lpt1.txt", u"com3 .log"}) {
        write(path("evil.exe"),
              chain_of(pe_image(false, 2048),
                       {{file_spec(name, data), data}, {file_spec(u"safe.txt", data), data}}));
        const std::string expected = path_to_utf8(path("evil.exe")) +
                                     ": attachment 2: invalid file name '" +
                                     terminal_text(to_utf8(name)) + "': " + file_name_problem(name);
        EXPECT_EQ(verify_launcher(path("evil.exe")).status.message(), expected);
        const ExtractReport report = extract_launcher(path("evil.exe"), path("x/y"));
        EXPECT_EQ(report.status.message(), expected);
        EXPECT_FALSE(fs::exists(path("x"))) << "all headers are read before writing";
    }
}

// The way a launcher file gets signed: padded to 8 bytes, followed by the certificate table that
// the PE header names.
Bytes signed_copy(Bytes bytes, const Bytes& table) {
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    set_certificate_table(bytes, false, static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(table.size()));
    bytes.insert(bytes.end(), table.begin(), table.end());
    return bytes;
}

TEST_F(PackerTest, SignedFilesAreReadUpToTheCertificateTableOnly) {
    write(launcher_, pe_image(false, 4096));
    const Bytes data = pattern(100, 1);
    ASSERT_TRUE(build({file("a.bin", u"a.bin", data), command(u"x.exe")}).ok());
    const Bytes packed = read(path("out.exe"));
    const Bytes table = pattern(700, 9);
    const Bytes signed_file = signed_copy(packed, table);
    const std::int64_t table_offset = static_cast<std::int64_t>(signed_file.size() - 700);
    const Bytes evil = pattern(30, 3);
    const Bytes hostile = chain_of({}, {{file_spec(u"evil.txt", evil), evil}});

    write(path("signed.exe"), signed_file);
    VerifyReport report = verify_launcher(path("signed.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    const std::string summary =
        "OK: 2 attachments, 100 bytes of file data, the i686 launcher (PE32), a certificate table "
        "of 700 bytes at offset " +
        std::to_string(table_offset) + " (its signature is not checked)";
    EXPECT_EQ(report.summary, summary);
    EXPECT_TRUE(report.outside_signed_range.empty());

    // An attachment appended after the table.
    Bytes after = signed_file;
    after.insert(after.end(), hostile.begin(), hostile.end());
    write(path("after.exe"), after);
    report = verify_launcher(path("after.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    EXPECT_EQ(report.summary, summary);
    const std::int64_t hostile_signature = static_cast<std::int64_t>(after.size() - 12);
    EXPECT_EQ(report.outside_signed_range,
              (std::vector<std::string>{
                  std::to_string(hostile.size()) + " bytes at offset " +
                      std::to_string(table_offset + 700) +
                      " follow the certificate table: they are outside the signed range and "
                      "ignored",
                  "an attachment signature at offset " + std::to_string(hostile_signature) +
                      " is outside the signed range: the attachments there are ignored"}));
    const ChainListing listing = list_attachments(path("after.exe"));
    ASSERT_EQ(listing.attachments.size(), 2u);
    EXPECT_EQ(listing.attachments[0].header.name, u"a.bin");
    const ExtractReport extracted = extract_launcher(path("after.exe"), path("x"));
    ASSERT_TRUE(extracted.status.ok()) << extracted.status.message();
    EXPECT_EQ(extracted.written, std::vector<fs::path>{path("x/a.bin")});

    // The same attachment inside the table, whose size now covers it.
    Bytes inside = signed_copy(packed, table);
    inside.insert(inside.end(), hostile.begin(), hostile.end());
    set_certificate_table(inside, false, static_cast<std::uint32_t>(table_offset),
                          static_cast<std::uint32_t>(700 + hostile.size()));
    write(path("inside.exe"), inside);
    report = verify_launcher(path("inside.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    EXPECT_EQ(report.outside_signed_range,
              (std::vector<std::string>{
                  "an attachment signature at offset " + std::to_string(hostile_signature) +
                  " is outside the signed range: the attachments there are ignored"}));
    EXPECT_EQ(list_attachments(path("inside.exe")).attachments.size(), 2u);

    // A table past the file's end names nothing: the whole file is searched, as for an unsigned
    // file, and the hostile attachment is read first.
    set_certificate_table(after, false, static_cast<std::uint32_t>(after.size() + 8), 700);
    write(path("bogus.exe"), after);
    report = verify_launcher(path("bogus.exe"));
    EXPECT_EQ(report.outside_signed_range,
              (std::vector<std::string>{
                  "the PE header names a certificate table of 700 bytes at offset " +
                  std::to_string(after.size() + 8) +
                  ", which is no usable table (empty, inside the headers or past the file's "
                  "end); the whole file is searched"}));
    EXPECT_EQ(list_attachments(path("bogus.exe")).attachments.size(), 1u);
}

TEST_F(PackerTest, VerifyTakesOnlySigningsPaddingBetweenTheChainAndTheCertificateTable) {
    write(launcher_, pe_image(false, 4096));
    ASSERT_TRUE(build({file("a.bin", u"a.bin", pattern(102, 1))}).ok());
    Bytes packed = read(path("out.exe"));
    ASSERT_NE(packed.size() % 8, 0u) << "the test needs padding";
    const Bytes table = pattern(64, 9);
    write(path("padded.exe"), signed_copy(packed, table));
    const VerifyReport padded = verify_launcher(path("padded.exe"));
    EXPECT_TRUE(padded.status.ok()) << padded.status.message();

    const std::size_t chain_end = packed.size();
    Bytes garbage = signed_copy(packed, table);
    garbage[chain_end] = 1;
    write(path("garbage.exe"), garbage);
    const std::size_t gap = (chain_end + 7) / 8 * 8 - chain_end;
    EXPECT_EQ(verify_launcher(path("garbage.exe")).status.message(),
              path_to_utf8(path("garbage.exe")) + ": " + std::to_string(gap) + " bytes at offset " +
                  std::to_string(chain_end) +
                  " lie between the last attachment and the certificate table: the launcher passes "
                  "over them. The file may have been cut short (losing the end of an attachment), "
                  "or data was appended after packing");
    packed.resize(packed.size() + 8, 0);
    write(path("wide.exe"), signed_copy(packed, table));
    EXPECT_FALSE(verify_launcher(path("wide.exe")).status.ok()) << "8 zeros are no padding";

    const nlohmann::json good = nlohmann::json::parse(format_verify_json(padded));
    EXPECT_EQ(good, nlohmann::json::parse(
                        R"({"format": 1, "ok": true, "launcher": "i686", "attachments": 1,
                            "file_bytes": 102,
                            "certificate_table": {"offset": )" +
                        std::to_string((chain_end + 7) / 8 * 8) +
                        R"(, "size": 64}, "ignored": [], "host_aliases": [], "error": null,
                            "image": {"architecture": "i686", "format": "PE32",
                                      "setup_launcher": true, "version_info": null,
                                      "icon": null}})"));
    const nlohmann::json bad =
        nlohmann::json::parse(format_verify_json(verify_launcher(path("garbage.exe"))));
    EXPECT_EQ(bad["ok"], false);
    EXPECT_EQ(bad["error"], verify_launcher(path("garbage.exe")).status.message());
}

TEST(PackerProgressBar, FillsInProportion) {
    EXPECT_EQ(progress_bar(0, 100 << 20, 10), "[..........]   0%  0.0 MiB of 100.0 MiB");
    EXPECT_EQ(progress_bar(50 << 20, 100 << 20, 10), "[#####.....]  50%  50.0 MiB of 100.0 MiB");
    EXPECT_EQ(progress_bar(100 << 20, 100 << 20, 10), "[##########] 100%  100.0 MiB of 100.0 MiB");
    EXPECT_EQ(progress_bar(0, 0, 4), "[####] 100%  0.0 MiB of 0.0 MiB");
}

// --- The list table -----------------------------------------------------------------------------

// The table's columns line up on a terminal whatever the names hold: wide characters take two
// columns, combining and invisible ones none; every control character (C0, DEL, C1) is shown
// escaped, as in the messages; a command that can never run is marked.
TEST(PackerListTable, AlignsByDisplayWidthEscapesControlsAndMarksCommandsThatNeverRun) {
    const std::u16string emoji = {u'e', 0xD83D, 0xDE00};  // U+1F600, a surrogate pair
    const struct {
        std::u16string name;
        std::string shown;
        std::size_t width;
    } names[] = {
        {u"plain.txt", "plain.txt", 9},
        {u"\u65E5\u672C\u8A9E.txt", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", 10},
        {emoji, "e\xF0\x9F\x98\x80", 3},
        {u"e\u0301\u0301", "e\xCC\x81\xCC\x81", 1},        // combining acute accents
        {u"zero\u200Bwidth", "zero\xE2\x80\x8Bwidth", 9},  // zero width space
        {u"full\uFF21", "full\xEF\xBC\xA1", 6},            // fullwidth A
        {u"\uAC00\u1161", "\xEA\xB0\x80\xE1\x85\xA1", 2},  // a syllable and a joining vowel
        {u"esc\u001B[2J", "esc\\x1B[2J", 10},
        {u"csi\u009B2J", "csi\\u009B2J", 11},
        {u"del\u007F nel\u0085", "del\\x7F nel\\u0085", 17},
        {u"tab\tnl\n", "tab\\x09nl\\x0A", 13},
    };
    std::vector<ListedAttachment> attachments;
    for (const auto& [name, shown, width] : names) {
        EXPECT_EQ(terminal_text(to_utf8(name)), shown);
        EXPECT_EQ(display_width(shown), width) << shown;
        ListedAttachment attachment;
        attachment.index = attachments.size() + 1;
        attachment.header.name = name;
        attachment.header.parameters = u"|P|";
        attachment.header.fields.flags = flag_is_command;
        attachments.push_back(attachment);
    }
    attachments.back().header.fields.flags |= flag_has_lcid;  // language 0: never runs
    const std::string table = format_table(attachments);
    std::vector<std::size_t> columns;
    for (std::size_t start = 0; start < table.size();) {
        const std::size_t end = table.find('\n', start);
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        if (const std::size_t marker = line.find("|P|"); marker != std::string::npos)
            columns.push_back(display_width(line.substr(0, marker)));
    }
    ASSERT_EQ(columns.size(), std::size(names));
    EXPECT_EQ(std::count(columns.begin(), columns.end(), columns[0]), std::ssize(columns)) << table;
    for (const unsigned char byte : table)
        EXPECT_TRUE(byte >= 0x20 || byte == '\n') << "a raw control byte " << int(byte);
    EXPECT_EQ(table.find("\xC2\x9B"), std::string::npos) << "no raw C1 control";
    EXPECT_NE(table.find("0x0000 (never runs)"), std::string::npos) << table;
    EXPECT_EQ(display_width("\xFF"), 1u) << "a byte that is no UTF-8";

    ChainListing listing;
    listing.attachments = {attachments.front(), attachments.back()};
    const nlohmann::json document = nlohmann::json::parse(format_list_json(listing));
    EXPECT_EQ(document["attachments"][0]["never_runs"], false);
    EXPECT_EQ(document["attachments"][1]["never_runs"], true);
}

// --- Reading launcher files: list, verify, extract
// -------------------------------------------------

// What each reading command makes of files that are not what they should be: no launcher file at
// all, a named pipe or a device (refused at once, never waited for), a file cut short, a command
// that never runs, and names that Windows keeps apart but this system can't.
TEST_F(PackerTest, ListVerifyAndExtractRefuseWhatNoLauncherFileIs) {
    const Bytes data = pattern(10, 1);
    AttachmentPlan never;
    never.name = u"de.exe";
    never.flags = flag_is_command | flag_has_lcid;  // lcid 0
    write(path("never.exe"), chain_of(pe_image(false, 2048), {{never, {}}}));
    write(path("text.json"), {'{', '}'});
    write(path("data.bin"), chain_of(pattern(2048, 4), {{file_spec(u"a.txt", data), data}}));
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    ASSERT_TRUE(build({file("in.bin", u"in.bin", pattern(100, 2)), command(u"x.exe")}).ok());
    const Bytes packed = read(path("out.exe"));
    write(path("cut.exe"), Bytes(packed.begin(), packed.end() - 10));
    const std::string not_launcher =
        ": not a launcher file: it does not begin with a Windows program (a DOS header \"MZ\" and "
        "a \"PE\" header)";
    // Cut by 10 bytes, the file ends inside the attachment read first; the search finds the
    // command's signature, written right after the launcher.
    const std::size_t command_end = 4096 + 2 * 5 + 33;
    const std::string cut = ": " + std::to_string(packed.size() - 10 - command_end) +
                            " bytes at offset " + std::to_string(command_end) +
                            " follow the last attachment, and no PE header names them a "
                            "certificate table: the launcher passes over them. The file may have "
                            "been cut short (losing the end of an attachment), or data was "
                            "appended after packing";
    const struct {
        fs::path file;
        std::string list, verify, extract;  // the messages; empty for success
    } cases[] = {
        {launcher_, "", "", ""},  // a launcher without attachments: "no attachments"
        {path("text.json"), not_launcher, not_launcher, not_launcher},
        {path("data.bin"), not_launcher, not_launcher, not_launcher},
        {path("pipe"), ": is a named pipe, not a regular file",
         ": is a named pipe, not a regular file", ": is a named pipe, not a regular file"},
        {"/dev/zero", ": is a character device, not a regular file",
         ": is a character device, not a regular file",
         ": is a character device, not a regular file"},
        {path("cut.exe"), cut, cut, ""},  // extract writes what it can read whole
        {path("never.exe"), "",
         ": attachment 1 'de.exe': a command for language 0, which the launcher takes for a "
         "cancelled choice: it never runs",
         ""},
    };
    for (const auto& [file, list, verify, extract] : cases) {
        const std::string name = path_to_utf8(file);
        const auto expected = [&](const std::string& message) {
            return message.empty() ? std::string() : name + message;
        };
        EXPECT_EQ(list_attachments(file).status.message(), expected(list)) << name;
        EXPECT_EQ(verify_launcher(file).status.message(), expected(verify)) << name;
        EXPECT_EQ(extract_launcher(file, path("x")).status.message(), expected(extract)) << name;
        fs::remove_all(path("x"));
    }
    EXPECT_EQ(verify_launcher(launcher_).summary, "no attachments");
}

TEST_F(PackerTest, NamesThatOnlyWindowsKeepsApartAreNotedByVerifyAndRefusedByExtract) {
    const Bytes one = pattern(10, 1), two = pattern(20, 2);
    const std::u16string first = {u'x', 0xD800, u'.', u't'};
    const std::u16string second = {u'x', 0xD801, u'.', u't'};  // both "x\uFFFD.t" here
    write(path("alias.exe"), chain_of(pe_image(false, 2048), {{file_spec(second, two), two},
                                                              {file_spec(first, one), one}}));
    const VerifyReport report = verify_launcher(path("alias.exe"));
    ASSERT_TRUE(report.status.ok()) << report.status.message();
    const std::string host_name = "'x\xEF\xBF\xBD.t'";
    const std::string note = "on this system its name becomes " + host_name +
                             " (a Windows name with an unpaired surrogate, which is U+FFFD here), "
                             "as an earlier file's does";
    EXPECT_EQ(report.host_aliases,
              std::vector<std::string>{path_to_utf8(path("alias.exe")) + ": attachment 2 " +
                                       host_name + ": " + note + "; extract can't write it here"});
    EXPECT_NE(format_verify_json(report).find("\"host_aliases\": [\n"), std::string::npos);

    const ExtractReport extracted = extract_launcher(path("alias.exe"), path("x"));
    EXPECT_EQ(extracted.status.message(), path_to_utf8(path("alias.exe")) + ": attachment 2 " +
                                              host_name + ": can't be extracted here: " + note);
    EXPECT_FALSE(fs::exists(path("x"))) << "every target is checked before anything is written";
}

// --overwrite replaces a regular file, never what is no regular file, and never through a link.
TEST_F(PackerTest, ExtractReplacesRegularFilesOnlyWhenAsked) {
    ASSERT_TRUE(build({file("a.bin", u"a.bin", {1}), file("b.bin", u"sub/b.bin", {2})}).ok());
    write(path("elsewhere.bin"), {'e'});
    const auto prepare = [&](const std::string& kind) {
        fs::remove_all(path("x"));
        fs::create_directories(path("x/sub"));
        if (kind == "file")
            write(path("x/sub/b.bin"), {'o', 'l', 'd'});
        if (kind == "link")
            fs::create_symlink(path("elsewhere.bin"), path("x/sub/b.bin"));
        if (kind == "directory")
            fs::create_directory(path("x/sub/b.bin"));
    };
    const std::string target = path_to_utf8(path("x/sub/b.bin"));
    const struct {
        const char* kind;
        ExistingFiles existing;
        std::string problem;  // empty: replaced
    } cases[] = {
        {"file", ExistingFiles::keep, ": already exists; use --overwrite to replace it"},
        {"file", ExistingFiles::replace, ""},
        {"link", ExistingFiles::replace,
         ": is a symbolic link; extract replaces regular files only, never through a link"},
        {"link", ExistingFiles::keep,
         ": is a symbolic link; extract replaces regular files only, never through a link"},
        {"directory", ExistingFiles::replace,
         ": is a directory, not a regular file; extract replaces regular files only"},
    };
    for (const auto& [kind, existing, problem] : cases) {
        prepare(kind);
        const ExtractReport report = extract_launcher(path("out.exe"), path("x"), {}, existing);
        EXPECT_EQ(report.status.message(), problem.empty() ? "" : target + problem) << kind;
        if (problem.empty()) {
            EXPECT_EQ(read(path("x/sub/b.bin")), Bytes({2})) << kind;
            EXPECT_EQ(report.written.size(), 2u);
        } else {
            EXPECT_FALSE(fs::exists(path("x/a.bin"))) << kind << ": checked before writing";
        }
        EXPECT_EQ(read(path("elsewhere.bin")), Bytes({'e'})) << kind;
    }
}

// --- Interruptions ------------------------------------------------------------------------------

// Every signal that ends a process by default and can be caught, sent in the middle of a build or
// an extraction: the process ends by it (a crash signal may end through a sanitizer's report
// instead), and its partial file is gone. A write past the file size limit fails as any write.
TEST_F(PackerTest, NoFatalSignalLeavesAPartialFile) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const auto interrupt_with = [](int signal_number) {
        return [signal_number](std::uint64_t done, std::uint64_t) {
            if (done > copy_chunk_size) {
                const rlimit no_core{0, 0};
                ::setrlimit(RLIMIT_CORE, &no_core);  // the crash signals would dump a core
                std::raise(signal_number);
            }
        };
    };
    const auto ended_by = [](int signal_number) {
        const bool crash =
            signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGFPE;
        return [signal_number, crash](int status) {
            return (WIFSIGNALED(status) && WTERMSIG(status) == signal_number) ||
                   (crash && WIFEXITED(status) && WEXITSTATUS(status) != 0);
        };
    };
    const std::vector<PackItem> items = {
        file("big.bin", u"big.bin", pattern(3 * copy_chunk_size, 1)),
        file("small.bin", u"sub/small.bin", {1, 2})};
    const std::vector<std::string> before = directory_entries();
    std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,  SIGILL,    SIGTRAP, SIGABRT,
                                SIGBUS,  SIGFPE,  SIGUSR1,  SIGSEGV,   SIGUSR2, SIGPIPE,
                                SIGALRM, SIGTERM, SIGXCPU,  SIGVTALRM, SIGPROF, SIGPOLL,
                                SIGSYS,  SIGPWR,  SIGRTMIN, SIGRTMAX};
    for (const int signal_number : signals) {
        EXPECT_EXIT((void)build(items, "out.exe", false, interrupt_with(signal_number)),
                    ended_by(signal_number), "")
            << strsignal(signal_number);
        EXPECT_EQ(directory_entries(), before) << strsignal(signal_number);
    }
    ASSERT_TRUE(build({items[1], items[0]}).ok());
    for (const int signal_number : {SIGQUIT, SIGUSR1, SIGSEGV}) {
        EXPECT_EXIT(
            (void)extract_launcher(path("out.exe"), path("x"), interrupt_with(signal_number)),
            ended_by(signal_number), "")
            << strsignal(signal_number);
        EXPECT_EQ(fs::exists(path("x/big.bin")), false) << strsignal(signal_number);
        EXPECT_EQ(std::distance(fs::directory_iterator(path("x")), fs::directory_iterator()), 1)
            << "only sub/ with the file finished first";
        fs::remove_all(path("x"));
    }

    // SIGXFSZ: the limit makes the write fail, and the failure is reported as any other.
    const auto with_file_size_limit = [&](const std::function<Status()>& run) {
        const rlimit limit{copy_chunk_size, copy_chunk_size};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const Status status = run();
        std::fprintf(stderr, "%s\n", status.message().c_str());
        std::exit(status.message().ends_with("can't write: File too large") ? 0 : 1);
    };
    fs::remove(path("out.exe"));
    const std::vector<std::string> without_output = directory_entries();
    EXPECT_EXIT(with_file_size_limit([&] { return build(items); }), ::testing::ExitedWithCode(0),
                "File too large");
    EXPECT_EQ(directory_entries(), without_output);
    ASSERT_TRUE(build({items[1], items[0]}).ok());
    EXPECT_EXIT(
        with_file_size_limit([&] { return extract_launcher(path("out.exe"), path("x")).status; }),
        ::testing::ExitedWithCode(0), "File too large");
    EXPECT_FALSE(fs::exists(path("x/big.bin")));
    EXPECT_EQ(std::distance(fs::directory_iterator(path("x")), fs::directory_iterator()), 1);
}

// --- Manifests
// ------------------------------------------------------------------------------------

// Messages name the entry at FILE:LINE:COLUMN, show every key from the file escaped, and refuse
// a NUL byte, after which the parser would read nothing more.
TEST(PackerManifest, MessagesGiveThePlaceAndEscapeWhatTheFileHolds) {
    const struct {
        std::string json;
        std::string message;
    } cases[] = {
        {"{\"attachments\": [\n  {\"file\": \"a\"},\n  {\"file\": \"b\",\n   \"nmae\": 1}\n]}",
         "m.json:3:3: attachment 2: unknown key 'nmae'"},
        {"{\"attachments\": [\n\t{\"command\": \"a\", \"quiet\": 1}]}",
         "m.json:2:2: attachment 1: \"quiet\" must be true or false"},
        {"{\"attachments\": [{\"file\": \"a\", \"x\\u001b[2J\\u0007\": 1}]}",
         "m.json:1:18: attachment 1: unknown key 'x\\x1B[2J\\x07'"},
        {"{\"attachments\": [{\"file\": \"a\", \"\\u009b\": 1, \"\\u009b\": 2}]}",
         "m.json:1:18: attachment 1: the key \"\\u009B\" appears twice"},
        {"{\"attachments\": [],\n \"\\u001b]0;title\\u0007\": 1}",
         "m.json:2:2: unknown key '\\x1B]0;title\\x07' at the top level"},
        {std::string("{\"attachments\": []}\0{\"x\": 1}", 28),
         "m.json:1:20: a NUL byte, which JSON text can't hold"},
        {std::string("{\"attachments\": [\n{\"command\": \"a\0b\"}]}", 38),
         "m.json:2:15: a NUL byte, which JSON text can't hold"},
        // The parser shows C0 controls as <U+001B> itself, but passes other bytes on raw: here
        // the first byte of a C1 control.
        {"{\"attachments\": [\xC2\x9B]}",
         "m.json: not valid JSON: parse error at line 1, column 18: syntax error while parsing "
         "value - invalid literal; last read: '\"attachments\": [\\xC2'"},
    };
    for (const auto& [json, message] : cases) {
        const ManifestResult result = parse_manifest(json, "/base", "m.json");
        EXPECT_EQ(result.status.message().substr(0, message.size()), message) << json;
        EXPECT_TRUE(result.items.empty());
    }
}

// A relative "file" is taken from the manifest's directory; a message about it says so.
TEST_F(PackerTest, ManifestInputsNameWhereTheirPathsCameFrom) {
    write(path("m/setup.json"), {});
    std::ofstream(path("m/setup.json"))
        << "{\"attachments\": [\n  {\"file\": \"data/missing.bin\"},"
           "\n  {\"file\": \"pipe\"}]}";
    ASSERT_EQ(::mkfifo(path("m/pipe").c_str(), 0600), 0);
    const ManifestResult manifest = load_manifest(path("m/setup.json"));
    ASSERT_TRUE(manifest.status.ok()) << manifest.status.message();
    const std::string where = path_to_utf8(path("m/setup.json"));
    const std::string note =
        "a relative \"file\" is taken from the manifest's directory, " + path_to_utf8(path("m"));
    EXPECT_EQ(build({manifest.items[0]}).message(),
              path_to_utf8(path("m/data/missing.bin")) +
                  ": can't open: No such file or directory (" + where +
                  ":2:3: attachment 1: " + note + ")");
    EXPECT_EQ(build({manifest.items[1]}).message(),
              path_to_utf8(path("m/pipe")) +
                  ": is a named pipe, not a regular file; only regular files are packed (" + where +
                  ":3:3: attachment 2: " + note + ")");
}

// --- Building
// ---------------------------------------------------------------------------------------

// Only regular files go in, and only when there is something to pack; what stands in place of a
// file is refused before the first byte is read from it, with or without a progress bar.
TEST_F(PackerTest, BuildTakesRegularFilesOnlyAndRefusesAnEmptyPayload) {
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    const auto input = [](const fs::path& source) {
        PackItem item;
        item.source = source;
        item.name = u"in.bin";
        item.origin = "--file";
        return item;
    };
    const std::string only = ", not a regular file; only regular files are packed";
    const struct {
        std::vector<PackItem> items;
        std::string message;
    } cases[] = {
        {{input(path("pipe"))}, path_to_utf8(path("pipe")) + ": is a named pipe" + only},
        {{input("/dev/zero")}, "/dev/zero: is a character device" + only},
        {{command(u"x.exe"), input("/dev/null")}, "/dev/null: is a character device" + only},
        {{},
         path_to_utf8(path("out.exe")) +
             ": no attachments to pack: give --file, --directory, --command or a --manifest "
             "with entries, or --allow-empty for a launcher file that does nothing"},
    };
    const std::vector<std::string> before = directory_entries();
    for (const auto& [items, message] : cases) {
        for (const bool with_progress : {false, true}) {
            const ProgressCallback progress =
                with_progress ? ProgressCallback([](std::uint64_t, std::uint64_t) {}) : nullptr;
            EXPECT_EQ(build(items, "out.exe", false, progress).message(), message);
            EXPECT_EQ(directory_entries(), before);
        }
    }
    launcher_ = path("pipe");
    EXPECT_EQ(build({command(u"x.exe")}).message(),
              path_to_utf8(path("pipe")) + ": is a named pipe" + only);
    launcher_ = path("launcher.exe");

    BuildRequest empty;
    empty.launcher = launcher_;
    empty.output = path("empty.exe");
    empty.allow_empty = true;
    ASSERT_TRUE(build_launcher(empty).ok());
    EXPECT_EQ(read(path("empty.exe")), read(launcher_));
}

// --- The command line's hints
// ----------------------------------------------------------------------

TEST(PackerClosestName, SuggestsOnlyANameThatASlipOfTheFingersExplains) {
    const std::vector<std::string> options = {"--launcher",  "--output", "--file",
                                              "--directory", "--quiet",  "--lcid",
                                              "-C",          "--help",   "-h"};
    const std::vector<std::string> commands = {"build", "list", "verify", "extract"};
    const struct {
        const char* word;
        const std::vector<std::string>& names;
        const char* closest;
    } cases[] = {
        {"--lauchner", options, "--launcher"},  // two letters moved
        {"--outptu", options, "--output"},      // two swapped
        {"--dir", options, "--directory"},      // the start of only one
        {"--quite", options, "--quiet"},
        {"--lcdi", options, "--lcid"},
        {"-o", options, ""},  // no short name is one slip away from it
        {"--fil", options, "--file"},
        {"--unknown", options, ""},
        {"--l", options, ""},  // the start of two
        {"bulid", commands, "build"},
        {"lst", commands, "list"},
        {"extarct", commands, "extract"},
        {"frobnicate", commands, ""},
        {"v", commands, ""},
    };
    for (const auto& [word, names, closest] : cases)
        EXPECT_EQ(closest_name(word, names), closest) << word;
}

}  // namespace
