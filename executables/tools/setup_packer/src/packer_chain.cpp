#include <algorithm>
#include <cerrno>
#include <functional>

#include "packer_internal.h"
#include "packer_io.h"
#include "setup_payload/chain_reader.h"

namespace fs = std::filesystem;

namespace {

// --- Texts of the chain's failures --------------------------------------------------------------

// Why the launcher would stop at a header, in setup_packer's words; the message names the
// launcher file and the attachment already.
std::string header_problem(ReadFailure failure, std::u16string_view name) {
    switch (failure) {
        case ReadFailure::signature_unreadable:
            return "can't read header signature";
        case ReadFailure::before_file_start:
            return "can't be read: it reaches before the start of the file";
        case ReadFailure::header_unreadable:
            return "can't read header";
        case ReadFailure::header_size_mismatch:
        case ReadFailure::command_without_program:
            return "header corrupt";
        case ReadFailure::parameters_unreadable:
            return "can't read parameters from header";
        case ReadFailure::name_unreadable:
            return "can't read file name from header";
        case ReadFailure::file_without_name:
            return "file attachment without file name";
        case ReadFailure::lcid_unreadable:
            return "can't read language code from header";
        case ReadFailure::unsafe_file_name:
            return "invalid file name " + in_quotes(name) + ": " + file_name_problem(name);
        case ReadFailure::none:
            break;
    }
    return "unreadable";
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
    // Reads the chain, headers and data alike, through a window that it keeps.
    mutable ChainReader reader{nullptr, attachment_signature()};
};

// True when the file begins with the headers of a Windows program, whatever its machine and
// subsystem: a launcher file always does, with the launcher's own image.
bool is_windows_program(const PeImageCheck& check) {
    return check.problem != PeProblem::no_mz_header &&
           check.problem != PeProblem::pe_header_outside_file &&
           check.problem != PeProblem::no_pe_signature;
}

OpenChain open_chain(const fs::path& path) {
    OpenChain chain;
    chain.file_name = path_to_utf8(path);
    fs::file_type refused = fs::file_type::none;
    chain.file.reset(open_regular_file(path, refused));
    chain.reader.file = chain.file.get();
    if (!chain.file) {
        chain.status = Status::failure(chain.file_name + ": " +
                                       (refused != fs::file_type::none
                                            ? not_regular_problem(fs::file_status(refused))
                                            : "can't open: " + errno_text(errno)));
        return chain;
    }
    if (!seek_stream(chain.file.get(), 0, SEEK_END) ||
        (chain.file_size = tell_stream(chain.file.get())) < 0) {
        chain.status = Status::failure(chain.file_name + ": can't read: seeking failed");
        return chain;
    }
    if (!is_windows_program(check_pe_image(chain.file.get(), chain.file_size))) {
        chain.status = Status::failure(chain.file_name +
                                       ": not a launcher file: it does not begin with a Windows "
                                       "program (a DOS header \"MZ\" and a \"PE\" header)");
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

using AttachmentVisit = std::function<Status(const ListedAttachment&)>;

// The walk's visitor: numbers the attachments and stops at the first failure of `visit`.
struct NumberedVisit {
    const AttachmentVisit& visit;
    std::size_t index = 0;
    Status status = Status::success();
};

bool visit_numbered(void* context, const AttachmentHeader& header) {
    NumberedVisit& numbered = *static_cast<NumberedVisit*>(context);
    numbered.status = numbered.visit(ListedAttachment{++numbered.index, header});
    return numbered.status.ok();
}

// Reads the chain's headers from its end towards the image, as the launcher does, and hands each
// attachment to `visit`. Stops at the first header the launcher would refuse or the first
// failure of `visit`.
Status walk_chain(const OpenChain& chain, const AttachmentVisit& visit) {
    NumberedVisit numbered{visit};
    const ChainWalk walk = ::walk_chain(chain.reader, chain.chain_end, visit_numbered, &numbered);
    if (walk.last.status == HeaderStatus::error) {
        return Status::failure(attachment_label(chain.file_name, walk.attachments) + ": " +
                               header_problem(walk.last.failure, walk.last.header.name));
    }
    return numbered.status;
}

// Where check_data hands the data: an optional output, and the progress.
struct DataOutput {
    std::FILE* to;
    ProgressCounter& progress;
    int error = 0;  // of a failed write
};

bool write_and_count(void* context, const std::uint8_t* bytes, std::size_t size) {
    DataOutput& output = *static_cast<DataOutput*>(context);
    errno = 0;
    if (output.to != nullptr && std::fwrite(bytes, 1, size, output.to) != size) {
        output.error = errno;
        return false;
    }
    output.progress.add(size);
    return true;
}

// Recomputes the checksum of an attachment's data, optionally writing the data to `to`.
Status check_data(const OpenChain& chain, const ListedAttachment& attachment, std::FILE* to,
                  const std::string& output_name, ProgressCounter& progress) {
    const FixedFields& fields = attachment.header.fields;
    const std::string label = attachment_label(chain.file_name, attachment.index);
    const std::string file = in_quotes(attachment.header.name);
    DataOutput output{to, progress};
    const DataCopy copied =
        copy_attachment_data(chain.reader, attachment.header.data_start, fields.data_size,
                             copy_chunk_size, write_and_count, &output);
    switch (copied.failure) {
        case CopyFailure::none:
            break;
        case CopyFailure::memory:
            return Status::failure(label + ": can't read file " + file + ": out of memory");
        case CopyFailure::read:
            return Status::failure(label + ": can't read file " + file);
        case CopyFailure::sink:
            return Status::failure(output_name + ": can't write: " + errno_text(output.error));
    }
    if (copied.checksum != fields.checksum) {
        return Status::failure(label + ": file " + file + " is corrupted: checksum " +
                               hex32(copied.checksum) + " expected " + hex32(fields.checksum));
    }
    return Status::success();
}

std::uint64_t chain_data_total(const OpenChain& chain) {
    if (chain.chain_end <= 0)
        return 0;
    const std::int64_t total = total_data_size(chain.reader, chain.chain_end);
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

// The bytes between the chain and the certificate table or the file's end, as a failure.
Status trailing_status(const OpenChain& chain) {
    if (chain.chain_end < 0)
        return Status::success();
    std::string problem = trailing_problem(chain);
    return problem.empty() ? Status::success() : Status::failure(chain.file_name + ": " + problem);
}

// The names of the files a chain extracts as this system's paths have them: a name that holds an
// unpaired surrogate, which NTFS keeps, gets U+FFFD here, so two names that Windows keeps apart
// may become one. Compared as Windows compares names; where the system keeps case, that also
// takes two such mangled names that differ in case for one, which is the safe side.
class HostNames {
public:
    // Registers a name; returns why it meets an earlier one on this system, or empty.
    std::string add(std::u16string_view name) {
        const std::u16string host = from_utf8(to_utf8(name));
        if (names_.add(host) == NameClash::none)
            return {};
        return "on this system its name becomes " + in_quotes(host) +
               " (a Windows name with an unpaired surrogate, which is U+FFFD here), as an earlier "
               "file's does";
    }

private:
    ExtractedNameSet names_;
};

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

// The names a chain extracts, as Windows and as this system take them.
struct PlannedNames {
    ExtractedNames windows;
    HostNames host;
};

// Why nothing may be written under a target's own name: something stands there that is no
// regular file, or one is and `existing` keeps it. Empty when it may.
std::string existing_problem(const fs::path& path, ExistingFiles existing) {
    std::error_code ignored;
    const fs::file_status status = fs::symlink_status(path, ignored);
    if (!fs::exists(status))
        return {};
    if (fs::is_symlink(status))
        return "is a symbolic link; extract replaces regular files only, never through a link";
    if (!fs::is_regular_file(status))
        return not_regular_problem(status) + "; extract replaces regular files only";
    return existing == ExistingFiles::replace ? std::string()
                                              : "already exists; use --overwrite to replace it";
}

// Plans the target of a file and checks it without writing anything: no clash with an earlier
// file, on Windows or here, no symbolic link or file where a directory of its name is, nothing
// under its own name unless it is a regular file to be replaced.
Status plan_target(const std::string& label, const ListedAttachment& attachment,
                   const fs::path& directory, ExistingFiles existing, PlannedNames& names,
                   Target& target) {
    target = {attachment, {}, {}, directory};
    // The walk has refused every name that is not a plain relative path.
    for (std::u16string_view component : split_name(attachment.header.name)) {
        target.directories.push_back(path_from_utf8(to_utf8(component)));
        target.path /= target.directories.back();
    }
    target.file_name = target.directories.back();
    target.directories.pop_back();
    if (std::string clash = names.windows.add(attachment.header.name); !clash.empty())
        return Status::failure(label + ": can't be extracted: " + clash);
    if (std::string clash = names.host.add(attachment.header.name); !clash.empty())
        return Status::failure(label + ": can't be extracted here: " + clash);
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
    if (std::string problem = existing_problem(target.path, existing); !problem.empty())
        return Status::failure(terminal_path(target.path) + ": " + problem);
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
                      ExistingFiles existing, ProgressCounter& counter) {
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
    const bool replace = existing == ExistingFiles::replace;
    if (const std::error_code rename_error = output.commit(replace))
        return Status::failure(rename_failure(target.path, rename_error, replace));
    return Status::success();
}

}  // namespace

bool never_runs(const AttachmentHeader& header) {
    constexpr std::uint8_t bound_command = flag_is_command | flag_has_lcid;
    return (header.fields.flags & bound_command) == bound_command && header.lcid == 0;
}

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
    if (listing.status.ok())
        listing.status = trailing_status(chain);
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
    HostNames host_names;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        ++report.attachments;
        if (never_runs(attachment.header)) {
            return Status::failure(attachment_label(chain.file_name, attachment) +
                                   ": a command for language 0, which the launcher takes for a "
                                   "cancelled choice: it never runs");
        }
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        Status status = verify_attachment(chain, attachment, names, counter);
        report.file_bytes += status.ok() ? attachment.header.fields.data_size : 0;
        if (std::string alias = host_names.add(attachment.header.name); !alias.empty()) {
            report.host_aliases.push_back(attachment_label(chain.file_name, attachment) + ": " +
                                          alias + "; extract can't write it here");
        }
        return status;
    });
    if (report.status.ok())
        report.status = trailing_status(chain);
    if (report.status.ok())
        report.summary = verify_summary(report);
    return report;
}

ExtractReport extract_launcher(const fs::path& launcher_file, const fs::path& directory,
                               const ProgressCallback& progress, ExistingFiles existing) {
    ExtractReport report;
    OpenChain chain = open_chain(launcher_file);
    if (!chain.status.ok()) {
        report.status = chain.status;
        return report;
    }
    // Every header is read and every target checked before the first file is written.
    std::vector<Target> targets;
    PlannedNames names;
    std::uint64_t total = 0;
    report.status = walk_chain(chain, [&](const ListedAttachment& attachment) {
        if (!is_extracted(attachment.header.fields))
            return Status::success();
        Target target;
        Status status = plan_target(attachment_label(chain.file_name, attachment), attachment,
                                    directory, existing, names, target);
        total += attachment.header.fields.data_size;
        targets.push_back(std::move(target));
        return status;
    });
    ProgressCounter counter(progress, total);
    for (auto target = targets.begin(); report.status.ok() && target != targets.end(); ++target) {
        report.status = extract_target(chain, *target, directory, existing, counter);
        if (report.status.ok())
            report.written.push_back(target->path);
    }
    return report;
}
