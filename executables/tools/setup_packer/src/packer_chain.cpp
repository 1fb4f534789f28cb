#include <cerrno>
#include <functional>
#include <map>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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
