#include <algorithm>
#include <cerrno>
#include <functional>

#include "built_in_texts.h"
#include "chain_reader.h"
#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

namespace {

// --- Texts of the chain's failures --------------------------------------------------------------

// A header error of the launcher in its English words, without the lead "Error reading '%s': "
// that names the launcher file, which every message here names already.
std::string header_problem(const char* key, std::u16string_view name) {
    const std::string text = key != nullptr ? key : "";
    // The launcher reports a failed seek this way as well; here it can only be data that would
    // begin before the file does.
    if (text == "error_reading")
        return "can't be read: it reaches before the start of the file";
    constexpr std::string_view lead = "Error reading '%s': ";
    const char16_t* english = key != nullptr ? english_text(key) : nullptr;
    std::string words = english != nullptr ? to_utf8(english) : std::string();
    if (!words.starts_with(lead))
        return "unreadable (" + text + ")";
    words.erase(0, lead.size());
    if (text == "error_invalid_file_name") {  // "invalid file name '%s'"
        return words.substr(0, words.find("'%s'")) + in_quotes(name) + ": " +
               file_name_problem(name);
    }
    return words;
}

std::string attachment_label(const std::string& file_name, std::size_t index) {
    return file_name + ": attachment " + std::to_string(index);
}

std::string attachment_label(const std::string& file_name, const ListedAttachment& attachment) {
    return attachment_label(file_name, attachment.index) + " " + in_quotes(attachment.header.name);
}

std::string link_refusal(const fs::path& directory) {
    return "is a symbolic link; extract follows no links inside " + terminal_path(directory);
}

// The launcher file, opened and searched for its chain's end.
struct OpenChain {
    Status status = Status::success();
    FileHandle file;
    std::string file_name;
    std::int64_t file_size = 0;
    std::int64_t chain_end = -1;
    std::string launcher;  // launcher_architecture, for our launchers
    ImageDetails image;
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
    chain.image = read_image_details(chain.file.get(), chain.file_size);
    chain.launcher = chain.image.setup_launcher ? chain.image.architecture : std::string();
    // The launcher's own search: in a signed file it starts at the certificate table.
    const SignedRange range = read_signed_range(chain.file.get(), chain.file_size);
    chain.security = range.directory;
    chain.certificate_table = range.certificate_table;
    chain.chain_end = find_chain_end(chain.file.get(), range.end, attachment_signature());
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
    ChainReader reader{chain.file.get(), attachment_signature()};
    std::int64_t end = chain.chain_end;
    std::size_t index = 0;
    while (end > 0) {
        HeaderResult result = read_attachment_header(reader, end);
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
    ChainReader reader{chain.file.get(), attachment_signature()};
    const std::int64_t total = total_data_size(reader, chain.chain_end);
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

// Bytes between the chain's end and the certificate table (or the file's end) that the launcher
// passes over: the file was cut short (its last attachment lost its end, so the search found the
// one before) or had data appended after packing. Signing pads the chain to 8 bytes with zeros
// before the table; that is no problem. Empty when there are none.
std::string trailing_problem(const OpenChain& chain) {
    const bool table = chain.certificate_table >= 0;
    const std::int64_t end = table ? chain.certificate_table : chain.file_size;
    const std::int64_t count = end - chain.chain_end;
    if (count <= 0)
        return {};
    if (table && count < 8) {
        std::uint8_t padding[8] = {};
        if (seek_stream(chain.file.get(), chain.chain_end, SEEK_SET) &&
            read_exact(chain.file.get(), padding, static_cast<std::size_t>(count)) &&
            std::all_of(padding, padding + count, [](std::uint8_t byte) { return byte == 0; })) {
            return {};
        }
    }
    return std::to_string(count) + " bytes at offset " + std::to_string(chain.chain_end) +
           (table ? " lie between the last attachment and the certificate table"
                  : " follow the last attachment, and no PE header names them a certificate "
                    "table") +
           ": the launcher passes over them. The file may have been cut short (losing the end of "
           "an attachment), or data was appended after packing";
}

// What verify checks of one attachment: the name rules of build for a file it extracts (the
// launcher's reader checks all but the length), clashes with earlier files, and the checksum.
Status verify_attachment(const OpenChain& chain, const ListedAttachment& attachment,
                         ExtractedNames& names, ProgressCounter& counter) {
    const std::u16string& name = attachment.header.name;
    if (std::string problem = file_name_problem(name); !problem.empty()) {
        return Status::failure(attachment_label(chain.file_name, attachment.index) +
                               ": invalid file name " + in_quotes(name) + ": " + problem);
    }
    if (std::string clash = names.add(name); !clash.empty()) {
        return Status::failure(attachment_label(chain.file_name, attachment) +
                               ": can't be extracted: " + clash);
    }
    return check_data(chain, attachment, nullptr, {}, counter);
}

std::string verify_summary(const VerifyReport& report) {
    std::string summary = "OK: " + std::to_string(report.attachments) +
                          (report.attachments == 1 ? " attachment, " : " attachments, ") +
                          std::to_string(report.file_bytes) + " bytes of file data";
    if (!report.image.architecture.empty())
        summary += ", " + describe_image(report.image);
    if (report.certificate_table >= 0) {
        summary += ", a certificate table of " + std::to_string(report.certificate_table_size) +
                   " bytes at offset " + std::to_string(report.certificate_table) +
                   " (its signature is not checked)";
    }
    return summary;
}

// Where one file goes: the directories its name gives below the target directory, made when
// missing, and its own name in the last of them.
struct Target {
    ListedAttachment attachment;
    std::vector<fs::path> directories;
    fs::path file_name;
    fs::path path;  // the whole path, for messages
};

// Plans the target of a file and checks it without writing anything: no clash with an earlier
// file, no symbolic link or file where a directory of its name is, nothing under its own name.
Status plan_target(const std::string& label, const ListedAttachment& attachment,
                   const fs::path& directory, ExtractedNames& names, Target& target) {
    target = {attachment, {}, {}, directory};
    // The walk has refused every name that is not a plain relative path.
    for (std::u16string_view component : split_name(attachment.header.name)) {
        target.directories.push_back(path_from_utf8(to_utf8(component)));
        target.path /= target.directories.back();
    }
    target.file_name = target.directories.back();
    target.directories.pop_back();
    if (std::string clash = names.add(attachment.header.name); !clash.empty())
        return Status::failure(label + ": can't be extracted: " + clash);
    std::error_code ignored;
    fs::path below = directory;
    for (const fs::path& component : target.directories) {
        below /= component;
        const fs::file_status status = fs::symlink_status(below, ignored);
        if (fs::is_symlink(status))
            return Status::failure(terminal_path(below) + ": " + link_refusal(directory));
        if (!fs::exists(status))
            break;
        if (!fs::is_directory(status))
            return Status::failure(terminal_path(below) + ": is not a directory");
    }
    if (fs::exists(fs::symlink_status(target.path, ignored)))
        return Status::failure(terminal_path(target.path) + ": already exists");
    return Status::success();
}

std::string directory_failure(const DirectoryProblem& problem, const fs::path& directory) {
    switch (problem.kind) {
        case DirectoryProblem::Kind::symbolic_link:
            return terminal_path(problem.path) + ": " + link_refusal(directory);
        case DirectoryProblem::Kind::not_a_directory:
            return terminal_path(problem.path) + ": is not a directory";
        default:
            return terminal_path(problem.path) +
                   ": can't create directory: " + problem.error.message();
    }
}

// Writes one file: into a temporary file in its pinned directory, renamed once its checksum
// matches.
Status extract_target(const OpenChain& chain, const Target& target, const fs::path& directory,
                      ProgressCounter& counter) {
    DirectoryProblem problem;
    const PinnedDirectory pinned =
        PinnedDirectory::open(directory, target.directories, true, problem);
    if (!pinned.is_open())
        return Status::failure(directory_failure(problem, directory));
    const std::string target_name = terminal_path(target.path);
    TemporaryFile output;
    if (const int create_error = output.create(pinned, target.file_name); create_error != 0) {
        return Status::failure(
            target_name + ": can't create a temporary file beside it: " + errno_text(create_error));
    }
    Status status = check_data(chain, target.attachment, output.file(), target_name, counter);
    if (!status.ok())
        return status;
    if (const int close_error = output.close(); close_error != 0)
        return Status::failure(target_name + ": can't write: " + errno_text(close_error));
    if (const std::error_code rename_error = output.commit(false))
        return Status::failure(rename_failure(target.path, rename_error, false));
    return Status::success();
}

}  // namespace

std::string launcher_architecture(std::FILE* file, std::int64_t file_size) {
    const PeImageCheck image = check_pe_image(file, file_size);
    if (image.problem != PeProblem::none)
        return {};
    return image.machine == pe_machine_amd64 ? "x86-64" : "i686";
}

std::string describe_launcher(const std::string& architecture) {
    if (architecture.empty())
        return "no Windows launcher image";
    return "the " + architecture + " launcher (" + (architecture == "x86-64" ? "PE32+" : "PE32") +
           ")";
}

ChainListing list_attachments(const fs::path& launcher_file) {
    ChainListing listing;
    OpenChain chain = open_chain(launcher_file);
    listing.launcher = chain.launcher;
    listing.image = chain.image;
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
    report.launcher = chain.launcher;
    report.image = chain.image;
    if (!chain.status.ok()) {
        report.status = chain.status;
        return report;
    }
    report.outside_signed_range = outside_signed_range(chain);
    if (chain.certificate_table >= 0) {
        report.certificate_table = chain.certificate_table;
        report.certificate_table_size = chain.security->size;
    }
    if (chain.chain_end < 0) {
        report.summary = "no attachments";
        return report;
    }
    ProgressCounter counter(progress, chain_data_total(chain));
    ExtractedNames names;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        ++report.attachments;
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        Status status = verify_attachment(chain, attachment, names, counter);
        report.file_bytes += status.ok() ? attachment.header.fields.data_size : 0;
        return status;
    });
    if (std::string problem = trailing_problem(chain); report.status.ok() && !problem.empty())
        report.status = Status::failure(chain.file_name + ": " + problem);
    if (report.status.ok())
        report.summary = verify_summary(report);
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
    std::vector<Target> targets;
    ExtractedNames names;
    std::uint64_t total = 0;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        Target target;
        Status status = plan_target(attachment_label(chain.file_name, attachment), attachment,
                                    directory, names, target);
        total += attachment.header.fields.data_size;
        targets.push_back(std::move(target));
        return status;
    });
    ProgressCounter counter(progress, total);
    for (auto target = targets.begin(); report.status.ok() && target != targets.end(); ++target) {
        report.status = extract_target(chain, *target, directory, counter);
        if (report.status.ok())
            report.written.push_back(target->path);
    }
    return report;
}
