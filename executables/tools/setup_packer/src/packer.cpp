#include "packer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "adler32.h"
#include "packer_io.h"

namespace fs = std::filesystem;

namespace {

// --- Small helpers -----------------------------------------------------------------------------

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The C library's text for an errno value; a failed stream operation may leave errno at 0.
std::string errno_text(int error) {
    return error != 0 ? std::strerror(error) : "input/output error";
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string hex16(std::uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string in_quotes(std::u16string_view text) {
    return "'" + utf16_to_utf8(text) + "'";
}

bool is_separator(char16_t c) {
    return c == u'/' || c == u'\\';
}

std::vector<std::u16string_view> split_name(std::u16string_view name) {
    std::vector<std::u16string_view> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || is_separator(name[i])) {
            components.push_back(name.substr(start, i - start));
            start = i + 1;
        }
    }
    return components;
}

char16_t fold_ascii_case(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

std::string size_text(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

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

// Copies `size` bytes (or everything up to the end when `size` is empty) from one stream to the
// other in chunks, computing the Adler-32 of what passes. A null `to` only reads.
struct CopyResult {
    enum class Failure { none, read, write } failure = Failure::none;
    int error = 0;
    std::uint64_t bytes = 0;
    std::uint32_t checksum = adler32_initial;
};

CopyResult copy_stream(std::FILE* from, std::FILE* to, std::optional<std::uint64_t> size,
                       ProgressCounter& progress) {
    CopyResult result;
    std::vector<std::uint8_t> buffer(copy_chunk_size);
    for (;;) {
        std::size_t wanted = buffer.size();
        if (size) {
            const std::uint64_t remaining = *size - result.bytes;
            if (remaining == 0)
                break;
            wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, wanted));
        }
        errno = 0;
        const std::size_t got = std::fread(buffer.data(), 1, wanted, from);
        if (got < wanted && (size || std::ferror(from))) {
            result.failure = CopyResult::Failure::read;
            result.error = std::ferror(from) ? errno : 0;
            return result;
        }
        if (got == 0)
            break;
        if (to != nullptr && std::fwrite(buffer.data(), 1, got, to) != got) {
            result.failure = CopyResult::Failure::write;
            result.error = errno;
            return result;
        }
        result.checksum = adler32(result.checksum, buffer.data(), got);
        result.bytes += got;
        progress.add(got);
    }
    return result;
}

// The offset of the first signature in the file, or -1. Reads in chunks that overlap by the
// signature's length minus one, so that no occurrence across two chunks is missed.
std::int64_t find_signature(std::FILE* file, const Signature& signature, bool& read_failed) {
    read_failed = false;
    if (!seek_stream(file, 0, SEEK_SET)) {
        read_failed = true;
        return -1;
    }
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint8_t> chunk(copy_chunk_size);
    std::int64_t buffer_start = 0;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        if (got == 0) {
            read_failed = std::ferror(file) != 0;
            return -1;
        }
        buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + got);
        const auto found =
            std::search(buffer.begin(), buffer.end(), signature.begin(), signature.end());
        if (found != buffer.end())
            return buffer_start + (found - buffer.begin());
        const std::size_t keep = std::min(buffer.size(), signature_size - 1);
        buffer_start += static_cast<std::int64_t>(buffer.size() - keep);
        buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(keep));
    }
}

std::string random_suffix() {
    static std::mt19937_64 generator(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[24];
    std::snprintf(text, sizeof text, "%08llx", static_cast<unsigned long long>(generator()));
    return text;
}

// A new file beside `target` that is removed again unless it is committed by renaming it.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { discard(); }

    // Creates it; on failure returns the errno.
    int create(const fs::path& target) {
        const fs::path directory = target.parent_path();
        for (int attempt = 0; attempt < 16; ++attempt) {
            fs::path candidate = directory / target.filename();
            candidate += path_from_utf8("." + random_suffix() + ".partial");
            std::FILE* file = create_new_file(candidate);
            if (file != nullptr) {
                file_.reset(file);
                path_ = candidate;
                return 0;
            }
            if (errno != EEXIST)
                return errno;
        }
        return EEXIST;
    }

    std::FILE* file() const { return file_.get(); }
    const fs::path& path() const { return path_; }

    // Flushes and closes; returns the errno of a failure, 0 on success.
    int close() {
        if (!file_)
            return 0;
        errno = 0;
        const bool failed = std::fflush(file_.get()) != 0 || std::ferror(file_.get()) != 0;
        int error = failed ? (errno != 0 ? errno : EIO) : 0;
        if (std::fclose(file_.release()) != 0 && error == 0)
            error = errno != 0 ? errno : EIO;
        return error;
    }

    std::error_code commit(const fs::path& target, bool replace) {
        const std::error_code error = rename_file(path_, target, replace);
        if (!error)
            path_.clear();
        return error;
    }

    void discard() {
        file_.reset();
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove(path_, ignored);
            path_.clear();
        }
    }

private:
    FileHandle file_;
    fs::path path_;
};

std::string rename_failure(const fs::path& target, const std::error_code& error, bool replace) {
    std::error_code ignored;
    if (!replace && fs::exists(fs::symlink_status(target, ignored))) {
        return path_to_utf8(target) + ": already exists";
    }
    return path_to_utf8(target) + ": can't be created: " + error.message();
}

// --- Texts of the chain's failures --------------------------------------------------------------

// The meaning of a header error key of the launcher, in English words.
std::string header_problem(const char* key, std::u16string_view name) {
    static const std::map<std::string, std::string> problems = {
        {"error_reading_signature", "can't read header signature"},
        {"error_reading", "can't be read: it reaches before the start of the file"},
        {"error_reading_header", "can't read header"},
        {"error_corrupt_header", "header corrupt"},
        {"error_reading_parameters", "can't read parameters from header"},
        {"error_reading_file_name", "can't read file name from header"},
        {"error_file_without_name", "file attachment without file name"},
        {"error_reading_LCID", "can't read language code from header"},
    };
    const std::string text = key != nullptr ? key : "";
    if (text == "error_invalid_file_name")
        return "invalid file name " + in_quotes(name) + ": " + file_name_problem(name);
    const auto found = problems.find(text);
    if (found != problems.end())
        return found->second;
    return "unreadable (" + text + ")";
}

std::string attachment_label(const std::string& file_name, std::size_t index) {
    return file_name + ": attachment " + std::to_string(index);
}

std::string attachment_label(const std::string& file_name, const ListedAttachment& attachment) {
    return attachment_label(file_name, attachment.index) + " " + in_quotes(attachment.header.name);
}

// The launcher file, opened and searched for its chain's end.
struct OpenChain {
    Status status = Status::success();
    FileHandle file;
    std::string file_name;
    std::int64_t file_size = 0;
    std::int64_t chain_end = -1;
    std::optional<SecurityDirectory> security;  // as stored, when the file is a PE image
    std::int64_t certificate_table = -1;        // its offset when it names a sane table
};

OpenChain open_chain(const fs::path& path) {
    OpenChain chain;
    chain.file_name = path_to_utf8(path);
    chain.file.reset(open_file(path, "rb"));
    if (!chain.file) {
        chain.status = Status::failure(chain.file_name + ": can't open: " + errno_text(errno));
        return chain;
    }
    if (!seek_stream(chain.file.get(), 0, SEEK_END) ||
        (chain.file_size = tell_stream(chain.file.get())) < 0) {
        chain.status = Status::failure(chain.file_name + ": can't read: seeking failed");
        return chain;
    }
    chain.security = read_security_directory(chain.file.get(), chain.file_size);
    if (chain.security)
        chain.certificate_table = certificate_table_offset(*chain.security, chain.file_size);
    // The launcher's own search: in a signed file it starts at the certificate table.
    const std::int64_t search_end =
        chain.certificate_table >= 0 ? chain.certificate_table : chain.file_size;
    chain.chain_end = find_chain_end(chain.file.get(), search_end, attachment_signature());
    if (chain.chain_end == 0) {
        chain.status = Status::failure(chain.file_name +
                                       ": can't read: the search for the attachments failed");
    }
    return chain;
}

// Reads the chain's headers from its end towards the image, as the launcher does, and hands each
// attachment to `visit`. Stops at the first header the launcher would refuse or the first
// failure of `visit`.
Status walk_chain(const OpenChain& chain,
                  const std::function<Status(const ListedAttachment&)>& visit) {
    const Signature signature = attachment_signature();
    std::int64_t end = chain.chain_end;
    std::size_t index = 0;
    while (end > 0) {
        HeaderResult result = read_attachment_header(chain.file.get(), end, signature);
        if (result.status == HeaderStatus::end_of_chain)
            break;
        ++index;
        if (result.status == HeaderStatus::error) {
            return Status::failure(attachment_label(chain.file_name, index) + ": " +
                                   header_problem(result.error_key, result.header.name));
        }
        ListedAttachment attachment{index, std::move(result.header)};
        if (attachment.header.data_start >= end) {
            return Status::failure(attachment_label(chain.file_name, index) + ": header corrupt");
        }
        Status status = visit(attachment);
        if (!status.ok())
            return status;
        end = attachment.header.data_start;
    }
    return Status::success();
}

// Recomputes the checksum of an attachment's data, optionally writing the data to `to`.
Status check_data(const OpenChain& chain, const ListedAttachment& attachment, std::FILE* to,
                  const std::string& output_name, ProgressCounter& progress) {
    const FixedFields& fields = attachment.header.fields;
    const std::string label = attachment_label(chain.file_name, attachment.index);
    if (!seek_stream(chain.file.get(), attachment.header.data_start, SEEK_SET)) {
        return Status::failure(label + ": can't read file " + in_quotes(attachment.header.name));
    }
    const CopyResult copied = copy_stream(chain.file.get(), to, fields.data_size, progress);
    if (copied.failure == CopyResult::Failure::read) {
        return Status::failure(label + ": can't read file " + in_quotes(attachment.header.name));
    }
    if (copied.failure == CopyResult::Failure::write) {
        return Status::failure(output_name + ": can't write: " + errno_text(copied.error));
    }
    if (copied.checksum != fields.checksum) {
        return Status::failure(label + ": file " + in_quotes(attachment.header.name) +
                               " is corrupted: checksum " + hex32(copied.checksum) + " expected " +
                               hex32(fields.checksum));
    }
    return Status::success();
}

std::uint64_t chain_data_total(const OpenChain& chain) {
    if (chain.chain_end <= 0)
        return 0;
    const std::int64_t total =
        total_data_size(chain.file.get(), chain.chain_end, attachment_signature());
    return total > 0 ? static_cast<std::uint64_t>(total) : 0;
}

// What the launcher ignores of a file because it lies outside the signed range, one sentence
// each: bytes behind the certificate table, and an attachment signature at or after its start.
// A security directory that names no usable table is mentioned too, since the launcher then
// searches the whole file.
std::vector<std::string> outside_signed_range(const OpenChain& chain) {
    std::vector<std::string> notes;
    if (!chain.security || (chain.security->offset == 0 && chain.security->size == 0))
        return notes;
    const SecurityDirectory& security = *chain.security;
    if (chain.certificate_table < 0) {
        notes.push_back("the PE header names a certificate table of " +
                        std::to_string(security.size) + " bytes at offset " +
                        std::to_string(security.offset) +
                        ", which is no usable table (empty, inside the headers or past the "
                        "file's end); the whole file is searched");
        return notes;
    }
    const std::int64_t table_end = chain.certificate_table + security.size;
    if (table_end < chain.file_size) {
        notes.push_back(std::to_string(chain.file_size - table_end) + " bytes at offset " +
                        std::to_string(table_end) +
                        " follow the certificate table: they are outside the signed range and "
                        "ignored");
    }
    const std::int64_t last =
        find_chain_end(chain.file.get(), chain.file_size, attachment_signature());
    if (last > chain.certificate_table) {
        notes.push_back("an attachment signature at offset " +
                        std::to_string(last - static_cast<std::int64_t>(signature_size)) +
                        " is outside the signed range: the attachments there are ignored");
    }
    return notes;
}

std::string display_text(std::u16string_view text) {
    std::string utf8 = utf16_to_utf8(text);
    for (char& c : utf8) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return utf8;
}

std::size_t display_width(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

// --- Texts and paths ---------------------------------------------------------------------------

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t code_point = 0;
        std::size_t length = 0;
        if (lead < 0x80) {
            code_point = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code_point = lead & 0x1F;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code_point = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code_point = lead & 0x07;
            length = 4;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size())
            return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            code_point = code_point << 6 | (next & 0x3F);
        }
        if ((length == 3 && code_point < 0x800) ||
            (length == 4 && (code_point < 0x10000 || code_point > 0x10FFFF)) ||
            (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            return std::nullopt;
        }
        if (code_point >= 0x10000) {
            code_point -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code_point));
        }
        i += length;
    }
    return result;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code_point = text[i];
        if (code_point >= 0xD800 && code_point <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            code_point = 0xFFFD;
        }
        if (code_point < 0x80) {
            result.push_back(static_cast<char>(code_point));
        } else if (code_point < 0x800) {
            result.push_back(static_cast<char>(0xC0 | code_point >> 6));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        } else if (code_point < 0x10000) {
            result.push_back(static_cast<char>(0xE0 | code_point >> 12));
            result.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xF0 | code_point >> 18));
            result.push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
        }
    }
    return result;
}

fs::path path_from_utf8(std::string_view text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string path_to_utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string progress_bar(std::uint64_t done, std::uint64_t total, std::size_t width) {
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + percent +
           "  " + size_text(done) + " of " + size_text(total);
}

// --- What goes into a launcher -----------------------------------------------------------------

std::optional<std::uint16_t> parse_lcid(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

Status parse_file_argument(std::string_view argument, PackItem& item) {
    item = PackItem{};
    item.kind = PackItem::Kind::file;
    item.origin = "--file " + std::string(argument);
    const std::size_t equals = argument.rfind('=');
    const std::string_view path_text = argument.substr(0, equals);
    if (path_text.empty())
        return Status::failure(item.origin + ": the path is empty");
    item.source = path_from_utf8(path_text);
    const std::string name_text = equals == std::string_view::npos
                                      ? path_to_utf8(item.source.filename())
                                      : std::string(argument.substr(equals + 1));
    std::optional<std::u16string> name = utf8_to_utf16(name_text);
    if (!name)
        return Status::failure(item.origin + ": the name is not valid UTF-8");
    item.name = std::move(*name);
    return Status::success();
}

ManifestResult parse_manifest(std::string_view json_text, const fs::path& base_dir,
                              const std::string& manifest_name) {
    using nlohmann::json;
    ManifestResult result;
    auto fail = [&](const std::string& problem) {
        result.status = Status::failure(manifest_name + ": " + problem);
        result.items.clear();
        return result;
    };
    json document;
    try {
        document = json::parse(json_text);
    } catch (const json::parse_error& error) {
        std::string text = error.what();
        const std::size_t bracket = text.find("] ");
        if (bracket != std::string::npos)
            text.erase(0, bracket + 2);
        return fail("not valid JSON: " + text);
    }
    if (!document.is_object())
        return fail("the top level must be an object");
    for (const auto& [key, value] : document.items()) {
        if (key != "attachments")
            return fail("unknown key '" + key + "' at the top level");
    }
    const auto attachments = document.find("attachments");
    if (attachments == document.end() || !attachments->is_array()) {
        return fail("\"attachments\" must be an array");
    }
    std::size_t number = 0;
    for (const json& entry : *attachments) {
        ++number;
        const std::string where = "attachment " + std::to_string(number);
        if (!entry.is_object())
            return fail(where + ": must be an object");
        const bool is_file = entry.contains("file");
        const bool is_command = entry.contains("command");
        if (is_file == is_command) {
            return fail(where + ": needs exactly one of \"file\" and \"command\"");
        }
        const std::vector<std::string> allowed =
            is_file ? std::vector<std::string>{"file", "name"}
                    : std::vector<std::string>{"command", "params", "in_extraction_dir", "quiet",
                                               "lcid"};
        for (const auto& [key, value] : entry.items()) {
            if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
                return fail(where + ": unknown key '" + key + "'");
            }
        }
        auto text = [&](const char* key, std::u16string& out) -> std::string {
            const json& value = entry.at(key);
            if (!value.is_string())
                return where + ": \"" + key + "\" must be a string";
            std::optional<std::u16string> converted = utf8_to_utf16(value.get<std::string>());
            if (!converted)
                return where + ": \"" + key + "\" is not valid UTF-8";
            out = std::move(*converted);
            return {};
        };
        auto flag = [&](const char* key, bool& out) -> std::string {
            if (!entry.contains(key))
                return {};
            const json& value = entry.at(key);
            if (!value.is_boolean())
                return where + ": \"" + key + "\" must be true or false";
            out = value.get<bool>();
            return {};
        };
        PackItem item;
        item.origin = manifest_name + " " + where;
        std::string problem;
        if (is_file) {
            item.kind = PackItem::Kind::file;
            const json& file = entry.at("file");
            if (!file.is_string() || file.get<std::string>().empty()) {
                return fail(where + ": \"file\" must be a non-empty string");
            }
            item.source = base_dir / path_from_utf8(file.get<std::string>());
            if (entry.contains("name")) {
                problem = text("name", item.name);
            } else {
                std::optional<std::u16string> name =
                    utf8_to_utf16(path_to_utf8(item.source.filename()));
                if (!name)
                    problem = where + ": the file name is not valid UTF-8";
                if (name)
                    item.name = std::move(*name);
            }
        } else {
            item.kind = PackItem::Kind::command;
            problem = text("command", item.name);
            if (problem.empty() && entry.contains("params"))
                problem = text("params", item.parameters);
            if (problem.empty())
                problem = flag("in_extraction_dir", item.in_extraction_dir);
            if (problem.empty())
                problem = flag("quiet", item.quiet);
            if (problem.empty() && entry.contains("lcid")) {
                const json& lcid = entry.at("lcid");
                if (lcid.is_string()) {
                    item.lcid = parse_lcid(lcid.get<std::string>());
                } else if (lcid.is_number_unsigned() && lcid.get<std::uint64_t>() <= 0xFFFF) {
                    item.lcid = static_cast<std::uint16_t>(lcid.get<std::uint64_t>());
                }
                if (!item.lcid) {
                    problem = where +
                              ": \"lcid\" must be a language identifier 0..0xFFFF, such "
                              "as \"0x0407\"";
                }
            }
        }
        if (!problem.empty())
            return fail(problem);
        result.items.push_back(std::move(item));
    }
    return result;
}

ManifestResult load_manifest(const fs::path& manifest) {
    const std::string name = path_to_utf8(manifest);
    FileHandle file(open_file(manifest, "rb"));
    if (!file) {
        ManifestResult result;
        result.status = Status::failure(name + ": can't open: " + errno_text(errno));
        return result;
    }
    std::string text;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, got);
    if (std::ferror(file.get())) {
        ManifestResult result;
        result.status = Status::failure(name + ": can't read: " + errno_text(errno));
        return result;
    }
    return parse_manifest(text, manifest.parent_path(), name);
}

std::string file_name_problem(std::u16string_view name) {
    if (name.size() > max_text_length)
        return "the name is longer than 65535 UTF-16 code units";
    const NameCheck check = check_relative_name(name);
    const std::u16string_view part = name.substr(check.position, check.length);
    switch (check.problem) {
        case NameProblem::none:
            break;
        case NameProblem::empty:
            return "the name is empty";
        case NameProblem::leading_separator:
            return "the name begins with a separator; it must be relative to the extraction "
                   "directory";
        case NameProblem::colon:
            return "the name contains ':', which would name a drive or an alternate data stream";
        case NameProblem::control_character: {
            char code[8];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(part[0]));
            return "the name contains the control character " + std::string(code);
        }
        case NameProblem::reserved_character:
            return "the name contains " + in_quotes(part) +
                   ", which Windows does not allow in file names";
        case NameProblem::empty_component:
            return "the name has an empty component (two separators in a row, or one at the end)";
        case NameProblem::dots_component:
            return "the name has the component " + in_quotes(part) +
                   ", only dots and spaces, which Windows reads as '.' or '..' or drops";
        case NameProblem::trailing_dot_or_space:
            return "the component " + in_quotes(part) +
                   " ends in a dot or a space, which Windows drops";
        case NameProblem::device_name: {
            std::u16string_view device = part.substr(0, part.find(u'.'));
            while (!device.empty() && device.back() == u' ')
                device.remove_suffix(1);
            return "the name uses the Windows device name " + in_quotes(device);
        }
    }
    if (!fits_path_limit(assumed_extraction_root, name)) {
        return "the name is too long for a Windows path: at most " +
               std::to_string(max_file_name_units) + " UTF-16 code units, and at most " +
               std::to_string(max_directory_name_units) +
               " up to its last separator, fit below an extraction directory such as " +
               utf16_to_utf8(assumed_extraction_root);
    }
    return {};
}

std::string ExtractedNames::add(std::u16string_view name) {
    std::vector<std::u16string> folded;
    for (std::u16string_view component : split_name(name)) {
        if (component.empty())
            continue;
        std::u16string key(component);
        std::transform(key.begin(), key.end(), key.begin(), fold_ascii_case);
        folded.push_back(std::move(key));
    }
    std::u16string key;
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if (i > 0) {
            if (files_.count(key) != 0) {
                return "an earlier file has the name of one of its directories";
            }
            key += u'/';
        }
        key += folded[i];
    }
    if (files_.count(key) != 0) {
        return "an earlier file has the same name (Windows ignores the case of letters)";
    }
    if (directories_.count(key) != 0)
        return "an earlier file lies in a directory of this name";
    files_.insert(key);
    for (std::size_t cut = key.find(u'/'); cut != std::u16string::npos;
         cut = key.find(u'/', cut + 1)) {
        directories_.insert(key.substr(0, cut));
    }
    return {};
}

Status check_items(const std::vector<PackItem>& items) {
    ExtractedNames names;
    for (const PackItem& item : items) {
        if (item.kind == PackItem::Kind::file) {
            std::string problem = file_name_problem(item.name);
            if (problem.empty())
                problem = names.add(item.name);
            if (!problem.empty()) {
                return Status::failure(item.origin + ": name " + in_quotes(item.name) + ": " +
                                       problem);
            }
            continue;
        }
        const struct {
            const char* what;
            const std::u16string& text;
        } texts[] = {{"the program", item.name}, {"the parameter text", item.parameters}};
        for (const auto& [what, text] : texts) {
            if (text.size() > max_text_length) {
                return Status::failure(item.origin + ": " + what +
                                       " is longer than 65535 UTF-16 code units");
            }
            if (text.find(u'\0') != std::u16string::npos) {
                return Status::failure(item.origin + ": " + what + " contains a NUL character");
            }
        }
        if (item.name.empty())
            return Status::failure(item.origin + ": the program is empty");
    }
    return Status::success();
}

Status check_launcher(const fs::path& launcher) {
    const std::string name = path_to_utf8(launcher);
    FileHandle file(open_file(launcher, "rb"));
    if (!file)
        return Status::failure(name + ": can't open: " + errno_text(errno));
    bool read_failed = false;
    const std::int64_t found = find_signature(file.get(), attachment_signature(), read_failed);
    if (read_failed)
        return Status::failure(name + ": can't read: " + errno_text(errno));
    if (found >= 0) {
        return Status::failure(
            name + ": holds the attachment signature at offset " + std::to_string(found) +
            "; it already carries attachments, or its image contains the signature bytes. "
            "Use the launcher executable as built, without attachments");
    }
    std::int64_t size = -1;
    if (seek_stream(file.get(), 0, SEEK_END))
        size = tell_stream(file.get());
    const std::optional<SecurityDirectory> security = read_security_directory(file.get(), size);
    // Any entry at all: even one that names no usable table would be read by the launcher once
    // the payload has made the file long enough for it.
    if (security && (security->offset != 0 || security->size != 0)) {
        return Status::failure(name +
                               ": is signed (it has an Authenticode certificate table); pack the "
                               "unsigned launcher and sign the packed file afterwards");
    }
    return Status::success();
}

Status build_launcher(const BuildRequest& request) {
    Status status = check_items(request.items);
    if (!status.ok())
        return status;

    const std::string output_name = path_to_utf8(request.output);
    std::error_code error;
    const fs::file_status output_status = fs::symlink_status(request.output, error);
    if (fs::is_directory(fs::status(request.output, error))) {
        return Status::failure(output_name + ": is a directory");
    }
    if (fs::exists(output_status) && !request.force) {
        return Status::failure(output_name + ": already exists; use --force to replace it");
    }
    auto is_output = [&](const fs::path& input) {
        std::error_code ignored;
        return fs::equivalent(input, request.output, ignored);
    };
    if (is_output(request.launcher)) {
        return Status::failure(output_name +
                               ": is the launcher itself; the input is never "
                               "modified, write the packed file elsewhere");
    }
    status = check_launcher(request.launcher);
    if (!status.ok())
        return status;

    std::uint64_t total = fs::file_size(request.launcher, error);
    if (error)
        total = 0;
    for (const PackItem& item : request.items) {
        if (item.kind != PackItem::Kind::file)
            continue;
        const std::string source_name = path_to_utf8(item.source);
        if (fs::is_directory(fs::status(item.source, error))) {
            return Status::failure(source_name + ": is a directory");
        }
        FileHandle source(open_file(item.source, "rb"));
        if (!source)
            return Status::failure(source_name + ": can't open: " + errno_text(errno));
        if (is_output(item.source)) {
            return Status::failure(output_name + ": is also an input file (" + item.origin + ")");
        }
        const std::uintmax_t size = fs::file_size(item.source, error);
        if (!error)
            total += size;
    }

    TemporaryFile output;
    if (const int create_error = output.create(request.output); create_error != 0) {
        return Status::failure(
            output_name + ": can't create a temporary file beside it: " + errno_text(create_error));
    }
    ProgressCounter progress(request.progress, total);
    auto write_failure = [&](int write_error) {
        return Status::failure(output_name + ": can't write: " + errno_text(write_error));
    };

    FileHandle launcher(open_file(request.launcher, "rb"));
    if (!launcher) {
        return Status::failure(path_to_utf8(request.launcher) +
                               ": can't open: " + errno_text(errno));
    }
    CopyResult copied = copy_stream(launcher.get(), output.file(), std::nullopt, progress);
    if (copied.failure == CopyResult::Failure::read) {
        return Status::failure(path_to_utf8(request.launcher) +
                               ": can't read: " + errno_text(copied.error));
    }
    if (copied.failure == CopyResult::Failure::write)
        return write_failure(copied.error);
    launcher.reset();

    // The launcher reads the chain from the end of the file, so the attachment it processes
    // first is written last.
    const Signature signature = attachment_signature();
    for (auto item = request.items.rbegin(); item != request.items.rend(); ++item) {
        AttachmentPlan plan;
        plan.name = item->name;
        if (item->kind == PackItem::Kind::file) {
            FileHandle source(open_file(item->source, "rb"));
            if (!source) {
                return Status::failure(path_to_utf8(item->source) +
                                       ": can't open: " + errno_text(errno));
            }
            copied = copy_stream(source.get(), output.file(), std::nullopt, progress);
            if (copied.failure == CopyResult::Failure::read) {
                return Status::failure(path_to_utf8(item->source) +
                                       ": can't read: " + errno_text(copied.error));
            }
            if (copied.failure == CopyResult::Failure::write)
                return write_failure(copied.error);
            plan.flags = flag_is_file;
            plan.data_size = copied.bytes;
            plan.checksum = copied.checksum;
        } else {
            plan.parameters = item->parameters;
            plan.flags = flag_is_command;
            if (item->lcid) {
                plan.flags |= flag_has_lcid;
                plan.lcid = *item->lcid;
            }
            if (item->in_extraction_dir)
                plan.flags |= flag_run_in_extraction_dir;
            if (item->quiet)
                plan.flags |= flag_quiet;
            plan.checksum = adler32_initial;
        }
        const std::vector<std::uint8_t> header = encode_attachment_header(plan, signature);
        if (std::fwrite(header.data(), 1, header.size(), output.file()) != header.size()) {
            return write_failure(errno);
        }
    }
    if (const int close_error = output.close(); close_error != 0) {
        return write_failure(close_error);
    }
    // The packed file is as executable as the launcher; it stays writable, so that a later
    // build with --force can replace it on Windows as well.
    const fs::perms permissions = fs::status(request.launcher, error).permissions();
    if (!error)
        fs::permissions(output.path(), permissions | fs::perms::owner_write, error);
    if (const std::error_code rename_error = output.commit(request.output, request.force)) {
        return Status::failure(rename_failure(request.output, rename_error, request.force));
    }
    return Status::success();
}

// --- Reading a launcher file -------------------------------------------------------------------

ChainListing list_attachments(const fs::path& launcher_file) {
    ChainListing listing;
    OpenChain chain = open_chain(launcher_file);
    listing.file_size = chain.file_size;
    listing.chain_end = chain.chain_end;
    if (!chain.status.ok()) {
        listing.status = chain.status;
        return listing;
    }
    listing.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        listing.attachments.push_back(attachment);
        return Status::success();
    });
    return listing;
}

std::string attachment_kind(const FixedFields& fields) {
    const bool extracted = is_extracted(fields);
    const bool command = (fields.flags & flag_is_command) != 0;
    if (extracted && command)
        return "both";
    if (extracted)
        return "file";
    if (command)
        return "command";
    return "none";
}

std::string flag_names(std::uint8_t flags) {
    static constexpr struct {
        std::uint8_t mask;
        const char* name;
    } known[] = {{flag_is_file, "is_file"},
                 {flag_is_command, "is_command"},
                 {flag_has_lcid, "has_lcid"},
                 {flag_run_in_extraction_dir, "run_in_extraction_dir"},
                 {flag_quiet, "quiet"}};
    std::string names;
    auto add = [&](const std::string& name) { names += (names.empty() ? "" : ",") + name; };
    std::uint8_t rest = flags;
    for (const auto& flag : known) {
        if ((flags & flag.mask) == 0)
            continue;
        add(flag.name);
        rest &= static_cast<std::uint8_t>(~flag.mask);
    }
    if (rest != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(rest));
        add(text);
    }
    return names.empty() ? "-" : names;
}

std::string format_table(const std::vector<ListedAttachment>& attachments) {
    const std::vector<std::string> heading = {"#",        "kind",  "name", "parameters",
                                              "language", "flags", "size", "checksum"};
    std::vector<std::vector<std::string>> rows = {heading};
    for (const ListedAttachment& attachment : attachments) {
        const AttachmentHeader& header = attachment.header;
        auto text_or_dash = [](std::u16string_view text) {
            return text.empty() ? std::string("-") : display_text(text);
        };
        rows.push_back({std::to_string(attachment.index), attachment_kind(header.fields),
                        text_or_dash(header.name), text_or_dash(header.parameters),
                        (header.fields.flags & flag_has_lcid) != 0 ? hex16(header.lcid) : "-",
                        flag_names(header.fields.flags), std::to_string(header.fields.data_size),
                        hex32(header.fields.checksum)});
    }
    std::vector<std::size_t> widths(heading.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], display_width(row[column]));
        }
    }
    const std::size_t size_column = 6;
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            const std::string padding(widths[column] - display_width(row[column]), ' ');
            if (column > 0)
                line += "  ";
            const bool right_aligned = column == 0 || column == size_column;
            line += right_aligned ? padding + row[column] : row[column] + padding;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        table += line + "\n";
    }
    return table;
}

std::string format_json(const std::vector<ListedAttachment>& attachments) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const ListedAttachment& attachment : attachments) {
        const AttachmentHeader& header = attachment.header;
        nlohmann::ordered_json flags = nlohmann::ordered_json::array();
        const std::string names = flag_names(header.fields.flags);
        if (names != "-") {
            for (std::size_t start = 0; start <= names.size();) {
                const std::size_t comma = std::min(names.find(',', start), names.size());
                flags.push_back(names.substr(start, comma - start));
                start = comma + 1;
            }
        }
        array.push_back({
            {"index", attachment.index},
            {"kind", attachment_kind(header.fields)},
            {"name", utf16_to_utf8(header.name)},
            {"parameters", utf16_to_utf8(header.parameters)},
            {"language", (header.fields.flags & flag_has_lcid) != 0
                             ? nlohmann::ordered_json(hex16(header.lcid))
                             : nlohmann::ordered_json(nullptr)},
            {"flags", flags},
            {"flags_value", header.fields.flags},
            {"data_size", header.fields.data_size},
            {"checksum", hex32(header.fields.checksum)},
        });
    }
    return array.dump(2) + "\n";
}

VerifyReport verify_launcher(const fs::path& launcher_file, const ProgressCallback& progress) {
    VerifyReport report;
    OpenChain chain = open_chain(launcher_file);
    if (!chain.status.ok()) {
        report.status = chain.status;
        return report;
    }
    report.outside_signed_range = outside_signed_range(chain);
    if (chain.chain_end < 0) {
        report.summary = "no attachments";
        return report;
    }
    report.trailing_bytes = chain.file_size - chain.chain_end;
    ProgressCounter counter(progress, chain_data_total(chain));
    ExtractedNames names;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        ++report.attachments;
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        if (std::string clash = names.add(attachment.header.name); !clash.empty()) {
            return Status::failure(attachment_label(chain.file_name, attachment) +
                                   ": can't be extracted: " + clash);
        }
        Status status = check_data(chain, attachment, nullptr, {}, counter);
        if (status.ok())
            report.file_bytes += attachment.header.fields.data_size;
        return status;
    });
    if (report.status.ok()) {
        report.summary = "OK: " + std::to_string(report.attachments) +
                         (report.attachments == 1 ? " attachment, " : " attachments, ") +
                         std::to_string(report.file_bytes) + " bytes of file data";
        if (chain.certificate_table >= 0) {
            report.summary += ", signed (certificate table of " +
                              std::to_string(chain.security->size) + " bytes at offset " +
                              std::to_string(chain.certificate_table) + ")";
        } else if (report.trailing_bytes > 0) {
            report.summary += ", " + std::to_string(report.trailing_bytes) +
                              " bytes after the chain (such as a certificate table)";
        }
    }
    return report;
}

ExtractReport extract_launcher(const fs::path& launcher_file, const fs::path& directory,
                               const ProgressCallback& progress) {
    ExtractReport report;
    OpenChain chain = open_chain(launcher_file);
    if (!chain.status.ok()) {
        report.status = chain.status;
        return report;
    }
    // Every header is read and every target checked before the first file is written.
    struct Target {
        ListedAttachment attachment;
        fs::path path;
    };
    std::vector<Target> targets;
    ExtractedNames names;
    std::uint64_t total = 0;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        const std::string label = attachment_label(chain.file_name, attachment);
        // The walk has refused every name that is not a plain relative path.
        fs::path path = directory;
        for (std::u16string_view component : split_name(attachment.header.name))
            path /= path_from_utf8(utf16_to_utf8(component));
        if (std::string clash = names.add(attachment.header.name); !clash.empty()) {
            return Status::failure(label + ": can't be extracted: " + clash);
        }
        std::error_code ignored;
        if (fs::exists(fs::symlink_status(path, ignored))) {
            return Status::failure(path_to_utf8(path) + ": already exists");
        }
        total += attachment.header.fields.data_size;
        targets.push_back({attachment, std::move(path)});
        return Status::success();
    });
    if (!report.status.ok())
        return report;

    ProgressCounter counter(progress, total);
    for (const Target& target : targets) {
        const std::string target_name = path_to_utf8(target.path);
        std::error_code error;
        fs::create_directories(target.path.parent_path(), error);
        if (error) {
            report.status = Status::failure(path_to_utf8(target.path.parent_path()) +
                                            ": can't create directory: " + error.message());
            return report;
        }
        TemporaryFile output;
        if (const int create_error = output.create(target.path); create_error != 0) {
            report.status = Status::failure(target_name +
                                            ": can't create a temporary file beside "
                                            "it: " +
                                            errno_text(create_error));
            return report;
        }
        report.status = check_data(chain, target.attachment, output.file(), target_name, counter);
        if (!report.status.ok())
            return report;
        if (const int close_error = output.close(); close_error != 0) {
            report.status =
                Status::failure(target_name + ": can't write: " + errno_text(close_error));
            return report;
        }
        if (const std::error_code rename_error = output.commit(target.path, false)) {
            report.status = Status::failure(rename_failure(target.path, rename_error, false));
            return report;
        }
        report.written.push_back(target.path);
    }
    return report;
}
