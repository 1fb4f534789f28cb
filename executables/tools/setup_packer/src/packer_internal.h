// Helpers shared by the units of setup_packer's library: files, copying, texts for messages.
// Not part of its interface (packer.h).
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "packer.h"
#include "packer_io.h"
#include "setup_payload/adler32.h"
#include "setup_payload/file_handle.h"

// The C library's text for an errno value; a failed stream operation may leave errno at 0.
std::string errno_text(int error);

std::string hex32(std::uint32_t value);  // "0x33CBBB56"
std::string hex16(std::uint16_t value);  // "0x0407"
// A name from a launcher file in quotes, as terminal_text shows it.
std::string in_quotes(std::u16string_view text);
// A path for a message, as terminal_text shows it: a target's path holds a name from the file.
std::string terminal_path(const std::filesystem::path& path);
std::string size_text(std::uint64_t bytes);  // "5.0 MiB"

// One value in an entry of a manifest, as far as the entry's checks look at it.
struct ManifestValue {
    enum class Kind { other, string, boolean, unsigned_number };
    Kind kind = Kind::other;
    std::string text;          // a string
    bool flag = false;         // a boolean
    std::uint64_t number = 0;  // an unsigned number
};

// An element of a manifest's "attachments" array: when it is an object, its keys and values in
// the order given.
struct ManifestEntry {
    bool object = false;
    std::size_t offset = 0;  // where in the text the entry begins
    std::vector<std::pair<std::string, ManifestValue>> fields;
    const ManifestValue* find(std::string_view key) const;  // the first with the key, or null
};

// A manifest's JSON text as far as the packer reads it (packer_manifest_json.cpp): the entries,
// or the first problem of the text itself: a NUL byte, no JSON, a number out of range, a key twice
// in one object, a top level or an "attachments" that is not as it must be. Keys in the problem
// are shown as terminal_text shows them.
struct ManifestDocument {
    std::string problem;
    std::optional<std::size_t> problem_at;  // the offset in the text the problem lies at
    std::vector<ManifestEntry> entries;
    std::optional<ManifestValue> icon;          // the top level's "icon", when given
    std::optional<ManifestEntry> version_info;  // its "version_info", when given
};

// The top level's "icon" (a path, relative to `base_dir`) and "version_info" (an object of
// texts, the keys of --version-info) into `branding`. Empty on success, else the problem.
std::string read_manifest_branding(const ManifestDocument& document,
                                   const std::filesystem::path& base_dir,
                                   const std::string& manifest_name, Branding& branding);
ManifestDocument read_manifest_document(std::string_view json_text);

// Reports progress over several files as one running total.
class ProgressCounter {
public:
    ProgressCounter(const ProgressCallback& callback, std::uint64_t total)
        : callback_(callback), total_(total) {}
    void add(std::uint64_t bytes) {
        done_ += bytes;
        if (callback_)
            callback_(done_, std::max(done_, total_));
    }

private:
    const ProgressCallback& callback_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

// What a build appended of one input file: its length and Adler-32.
struct CopyResult {
    std::uint64_t bytes = 0;
    std::uint32_t checksum = adler32_initial;
};

// A new file beside a target in a pinned directory, removed again unless it is committed by
// renaming it to the target; removed as well when the process is interrupted meanwhile.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { discard(); }

    // Creates "<target>.<random>.partial" in `directory`, which must stay open as long as this
    // object; on failure returns the errno.
    int create(const PinnedDirectory& directory, const std::filesystem::path& target);

    std::FILE* file() const { return file_.get(); }
    std::filesystem::path path() const;  // for messages

    // Flushes and closes; returns the errno of a failure, 0 on success.
    int close();

    // Renames it to the target; with `replace`, only over a regular file.
    std::error_code commit(bool replace);

    void discard();

private:
    const PinnedDirectory* directory_ = nullptr;
    FileHandle file_;
    std::filesystem::path name_;  // empty once committed or discarded
    std::filesystem::path target_;
};

// Reads a whole file of at most `limit` bytes. Empty on success, else the problem (without the
// file's name): it can't be opened or read, or it is larger.
std::string read_file_bytes(const std::filesystem::path& path, std::uint64_t limit,
                            std::vector<std::uint8_t>& bytes);
// A launcher image that gets an icon or version details is rewritten in memory, up to this size.
inline constexpr std::uint64_t max_branded_launcher_size = 256ull << 20;

// "is a character device, not a regular file" and the like, for what stands where a file was
// expected.
std::string not_regular_problem(const std::filesystem::file_status& status);

// The message for a failed commit of a temporary file to `target`.
std::string rename_failure(const std::filesystem::path& target, const std::error_code& error,
                           bool replace);
