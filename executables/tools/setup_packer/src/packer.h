// setup_packer's logic: building a launcher file from a launcher executable and a list of
// attachments, and listing, verifying and extracting the attachments of a launcher file. Free
// functions over plain data; every failure comes back as one message that names the file and the
// problem, nothing here prints or ends the process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "packer_branding.h"
#include "setup_payload/extraction_directory.h"
#include "setup_payload/file_names.h"
#include "setup_payload/payload_format.h"
#include "setup_payload/text_encoding.h"

// Bytes moved per read and write while copying file data.
inline constexpr std::size_t copy_chunk_size = 1 << 20;

// --- Texts and paths ---------------------------------------------------------------------------
// (UTF-8 and UTF-16 both ways: text_encoding.h.)

// Paths from and to UTF-8, independent of the ANSI code page on Windows.
std::filesystem::path path_from_utf8(std::string_view text);
std::string path_to_utf8(const std::filesystem::path& path);
// UTF-8 text as a message may show it on a terminal: control characters (U+0000 to U+001F,
// U+007F to U+009F) as \xHH or \u00HH and bytes that are no UTF-8 as \xHH, so that a name read
// from a file can't move the cursor, change colours or reset the terminal.
std::string terminal_text(std::string_view utf8);
// The columns a terminal gives UTF-8 text: two for wide and fullwidth characters (CJK, most
// emoji), none for combining marks and invisible format characters, one for the rest (a byte
// that is no UTF-8 included). Meant for text that terminal_text has made safe.
std::size_t display_width(std::string_view utf8);
// The one of `names` that `word` most likely misspells ("--lauchner" for "--launcher", "bulid" for
// "build", "--dir" for "--directory"; leading dashes are ignored), or empty when none is near
// enough or two are equally near.
std::string closest_name(std::string_view word, const std::vector<std::string>& names);

// --- Outcome of an operation -------------------------------------------------------------------

class [[nodiscard]] Status {
public:
    static Status success() { return Status(); }
    static Status failure(std::string message) { return Status(std::move(message)); }
    bool ok() const { return message_.empty(); }
    const std::string& message() const { return message_; }

private:
    Status() = default;
    explicit Status(std::string message) : message_(std::move(message)) {}
    std::string message_;
};

// Called after every chunk with the bytes done so far and the expected total.
using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;

// A text bar for a terminal, e.g. "[#####.....]  50%  5.0 MiB of 10.0 MiB", exactly `width`
// characters between the brackets.
std::string progress_bar(std::uint64_t done, std::uint64_t total, std::size_t width);

// --- What goes into a launcher -----------------------------------------------------------------

// One attachment as the user describes it, in the order the launcher processes them.
struct PackItem {
    enum class Kind { file, command };
    Kind kind = Kind::file;
    std::filesystem::path source;       // file: where its content is read from
    std::u16string name;                // file: name in the extraction directory; command: program
    std::u16string parameters;          // command: its parameter line
    std::optional<std::uint16_t> lcid;  // command: the language it is bound to
    bool in_extraction_dir = false;     // command: runs in the extraction directory
    bool quiet = false;                 // command: no error interface, failures not reported
    std::string origin;                 // how the user gave it, for messages ("--file x=y")
    // file: what a message about `source` adds when the path alone would not say where it came
    // from (a manifest's relative "file", taken from the manifest's directory); empty otherwise.
    std::string source_note;
};

// A language identifier as given on the command line or in a manifest, or why it is none.
struct LcidResult {
    std::optional<std::uint16_t> lcid;
    std::string problem;  // when lcid is empty; to follow "TEXT: "
    std::string warning;  // with an lcid that is no Windows language setup_packer knows
};
// The forms parse_lcid accepts, for messages.
inline constexpr const char* lcid_forms =
    "hexadecimal with 0x (0x0407), decimal without leading zeros (1031) or a language tag "
    "(de-DE), from 1 to 0xFFFF";
// "0x0407", "1031" or "de-DE" (tags without case). Refuses 0, which the launcher takes for "no
// language"; a number whose hexadecimal reading is a language setup_packer knows, but not its
// decimal one ("did you mean 0x0407 (de-DE)?" for 407); a decimal with leading zeros. Warns of a
// number that is no language it knows.
LcidResult parse_lcid(std::string_view text);
// The language tag of a Windows language identifier ("de-DE" for 0x0407); null for one that
// setup_packer does not know.
const char* language_tag(std::uint16_t lcid);

// A --file argument "PATH[=NAME]", split at the last '='; NAME defaults to PATH's file name.
// Fails for invalid UTF-8 or an empty PATH.
Status parse_file_argument(std::string_view argument, PackItem& item);

// A --directory argument "DIR[=NAME]", split at the last '=' like --file's: the tree to pack and
// the directory in the extraction directory that receives it (empty: the extraction directory
// itself). Fails for invalid UTF-8 in NAME or an empty DIR.
struct DirectoryArgument {
    std::filesystem::path root;
    std::u16string name;
    std::string origin;  // "--directory DIR[=NAME]"
};
Status parse_directory_argument(std::string_view argument, DirectoryArgument& directory);

// The regular files below a directory, each named by its path below it (components joined by
// "/") after the argument's NAME, in the order of those names. Symbolic links to regular files
// count as the files; directories are entered (not through links) and hold nothing of their own.
// Fails at anything else (a link to a directory, a device, a pipe, a socket), at a directory that
// can't be read and at a name that is not valid UTF-8. Appends to `items`, only on success.
Status add_directory_files(const DirectoryArgument& directory, std::vector<PackItem>& items);

// The attachments of a manifest file (format in the README), and the icon and version details it
// gives. Relative file paths resolve against the manifest's directory. Messages name an entry by
// where it begins, "FILE:LINE:COLUMN: attachment N", and show its keys as terminal_text does.
struct ManifestResult {
    Status status = Status::success();
    std::vector<PackItem> items;
    Branding branding;                  // its "icon" and "version_info"
    std::vector<std::string> warnings;  // one sentence each, on success
};
ManifestResult load_manifest(const std::filesystem::path& manifest);
ManifestResult parse_manifest(std::string_view json_text, const std::filesystem::path& base_dir,
                              const std::string& manifest_name);

// Where the packer assumes the launcher extracts, since only the launcher knows: the temporary
// directory of a user with a 20-character name (the longest Windows allows), and there the longest
// name the launcher gives its extraction directory, so that a name the packer takes fits whichever
// number the launcher's directory gets.
inline constexpr std::u16string_view assumed_temp_directory =
    u"C:\\Users\\UUUUUUUUUUUUUUUUUUUU\\AppData\\Local\\Temp\\";
inline constexpr std::u16string_view assumed_extraction_root =
    u"C:\\Users\\UUUUUUUUUUUUUUUUUUUU\\AppData\\Local\\Temp\\VOQSETUP2147483648\\";
static_assert(assumed_extraction_root.starts_with(assumed_temp_directory) &&
              assumed_extraction_root.substr(assumed_temp_directory.size())
                  .starts_with(longest_extraction_directory_name) &&
              assumed_extraction_root.size() ==
                  assumed_temp_directory.size() + longest_extraction_directory_name.size() + 1);
// What that leaves of Windows' path limits for a name, and for the part of it up to its last
// separator (the directories the launcher creates, with their closing separator).
inline constexpr std::size_t max_file_name_units =
    max_path_units - 1 - assumed_extraction_root.size();
inline constexpr std::size_t max_directory_name_units =
    max_directory_path_units - 1 - assumed_extraction_root.size();

// Why a relative name can't be used for an extracted file, or empty when it can: the launcher's
// own rules (check_relative_name: inside the extraction directory, no characters or device names
// that Windows refuses, no components that Windows renames), a length that the header can hold,
// and a length that fits a Windows path below assumed_extraction_root.
std::string file_name_problem(std::u16string_view name);

// The file names that a chain extracts, compared as the launcher's Windows file system compares
// them (file_names.h: separators "/" and "\" alike, case ignored over all of Unicode's simple
// uppercase mappings, empty components ignored).
class ExtractedNames {
public:
    // Registers a name; returns why it clashes with an earlier one, or empty.
    std::string add(std::u16string_view name);

private:
    ExtractedNameSet names_;
};

// Checks the items before anything is written: names, text lengths, clashes.
Status check_items(const std::vector<PackItem>& items);

// Refuses a launcher executable that can't carry a payload: one that is no Windows GUI program
// for i386 or AMD64 (the message names the check that failed), one that holds the signature bytes
// anywhere, or one that is already signed (any security data directory entry in its PE header:
// the chain must lie before the certificate table). Unless `allow_foreign`, refuses as well an
// image that is none of this project's launchers (launcher_identity_problem names what it lacks).
Status check_launcher(const std::filesystem::path& launcher, bool allow_foreign = false);

struct BuildRequest {
    std::filesystem::path launcher;
    std::filesystem::path output;
    bool force = false;             // replace an existing regular file
    bool allow_empty = false;       // write a launcher file without attachments
    bool foreign_launcher = false;  // take an image that is none of this project's launchers
    Branding branding;              // the icon and version details the image gets
    std::vector<PackItem> items;    // in processing order; written to the file in reverse
    ProgressCallback progress;      // optional
};

// Writes the launcher followed by the attachments into a temporary file beside the output and
// renames it to the output at the end. The output must be a regular file or not exist; the
// launcher and every input file must be regular files; without allow_empty there must be
// attachments. On failure nothing is left behind, nor when the process is interrupted
// (packer_io.h).
Status build_launcher(const BuildRequest& request);

// --- Reading a launcher file -------------------------------------------------------------------

struct ListedAttachment {
    std::size_t index = 0;  // 1 for the attachment nearest the end of the file, read first
    AttachmentHeader header;
};

// Which launcher image a file begins with: "i686" (PE32) or "x86-64" (PE32+); empty when it
// is no Windows program a launcher can be.
std::string launcher_architecture(std::FILE* file, std::int64_t file_size);
// "the i686 launcher (PE32)", "the x86-64 launcher (PE32+)", or "no Windows launcher image".
std::string describe_launcher(const std::string& architecture);

// What list and verify say of the image a file begins with (packer_image.cpp).
struct ImageDetails {
    std::string architecture;     // launcher_architecture: "i686", "x86-64" or empty
    bool setup_launcher = false;  // one of this project's launchers (launcher_identity_problem)
    std::optional<VersionInfo> version;
    std::vector<IconImage> icons;  // of its first icon group
};
ImageDetails read_image_details(std::FILE* file, std::int64_t file_size);
// The launcher's description for a file carrying it: describe_launcher for this project's
// launchers, "an x86-64 Windows program that is no setup launcher (PE32+)" for another image.
std::string describe_image(const ImageDetails& image);
// The version details and the icon, one line each without the file's name: "file version
// 2.1.0.0, product version 2.1.0.0", "ProductName 'Acme'", ..., "icon: 16x16 32-bit PNG, ...".
// None for an image without them.
std::vector<std::string> image_detail_lines(const ImageDetails& image);

struct ChainListing {
    Status status = Status::success();  // the first problem; the attachments before it are listed
    std::string launcher;               // launcher_architecture, for this project's launchers
    ImageDetails image;
    std::int64_t file_size = 0;
    std::int64_t chain_end = -1;                // -1 when the file holds no attachments
    std::vector<ListedAttachment> attachments;  // in processing order
};

// Reads every header of the chain the way the launcher does, without reading file data. Fails as
// verify_launcher does for a file that is none, and for bytes after the chain.
ChainListing list_attachments(const std::filesystem::path& launcher_file);

// "file", "command", "both" or "none".
std::string attachment_kind(const FixedFields& fields);
// True for a command bound to language 0, which the launcher takes for a cancelled choice.
bool never_runs(const AttachmentHeader& header);
// The flag names joined by ",", unknown bits as hexadecimal; "-" for no flags.
std::string flag_names(std::uint8_t flags);
// An aligned table, one line per attachment under a heading line.
std::string format_table(const std::vector<ListedAttachment>& attachments);

// The version of the JSON documents below: it changes when a field changes its meaning or goes.
inline constexpr int json_format_version = 1;
// {"format": 1, "launcher": "i686", "x86-64" or null, "attachments": [one object per
// attachment], "error": null or the message}.
std::string format_list_json(const ChainListing& listing);

struct VerifyReport {
    Status status = Status::success();
    std::string launcher;  // launcher_architecture, for this project's launchers
    ImageDetails image;
    std::size_t attachments = 0;
    std::uint64_t file_bytes = 0;  // data bytes that the launcher would extract
    // The certificate table that the PE header names, when it names a usable one.
    std::int64_t certificate_table = -1;
    std::uint32_t certificate_table_size = 0;
    std::string summary;  // on success, the line to show
    // What the launcher ignores because it lies outside the signed range, one sentence each
    // (bytes behind the certificate table, attachment signatures at or after its start).
    std::vector<std::string> outside_signed_range;
    // Files whose names Windows keeps apart but this system can't (extract_launcher), one
    // sentence each.
    std::vector<std::string> host_aliases;
};

// Walks the chain as the launcher will and recomputes every checksum of extracted data. Fails for
// a file that does not begin with a Windows program ("not a launcher file") or is no regular
// file, at the first attachment the launcher would stop at or refuse (the file names of
// check_items) or never run (a command for language 0), and when bytes follow the chain that are
// no certificate table named by the PE header (a file cut short, or data appended after packing).
// In a signed file the chain is searched from the certificate table's start, as the launcher
// does; the signature itself is not checked.
VerifyReport verify_launcher(const std::filesystem::path& launcher_file,
                             const ProgressCallback& progress = {});
// {"format": 1, "ok", "launcher": "i686", "x86-64" or null, "attachments", "file_bytes",
// "certificate_table": {"offset", "size"} or null, "ignored": [sentences], "host_aliases":
// [sentences], "error": null or the message}.
std::string format_verify_json(const VerifyReport& report);

struct ExtractReport {
    Status status = Status::success();
    std::vector<std::filesystem::path> written;  // in processing order
};

// What extract does with a file that stands where it writes one.
enum class ExistingFiles {
    keep,     // refuse it
    replace,  // replace a regular file; anything else (a link, a directory) is still refused
};

// Writes the extracted files under `directory` (created when missing) without running anything.
// Every target is checked before the first file is written (names that Windows keeps apart but
// this system can't included). Replaces only what `existing` allows, and never follows a symbolic
// link below `directory`; a file whose checksum does not match is not left behind, nor a partial
// one when the process is interrupted.
ExtractReport extract_launcher(const std::filesystem::path& launcher_file,
                               const std::filesystem::path& directory,
                               const ProgressCallback& progress = {},
                               ExistingFiles existing = ExistingFiles::keep);
