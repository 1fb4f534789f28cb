#include <cerrno>

#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

std::string machine_text(std::uint16_t machine) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(machine));
    return text;
}

// Why the launcher is no Windows GUI program for i386 or AMD64, naming the check that failed.
std::string pe_image_problem(const PeImageCheck& check) {
    switch (check.problem) {
        case PeProblem::none:
            break;
        case PeProblem::no_mz_header:
            return "is no Windows executable: it does not begin with the \"MZ\" of a DOS header";
        case PeProblem::pe_header_outside_file:
            return "is no Windows PE image: its DOS header points at a PE header past the end of "
                   "the file";
        case PeProblem::no_pe_signature:
            return "is no Windows PE image: there is no \"PE\" signature at offset " +
                   std::to_string(check.pe_offset) + ", where its DOS header points";
        case PeProblem::unknown_machine:
            return "is a PE image for the machine " + machine_text(check.machine) +
                   ", not for i386 (0x014C) or AMD64 (0x8664)";
        case PeProblem::no_optional_header:
            return check.machine == pe_machine_i386
                       ? "has no complete PE32 optional header, which an i386 image needs"
                       : "has no complete PE32+ optional header, which an AMD64 image needs";
        case PeProblem::not_windows_gui:
            return "is no Windows GUI program: its subsystem is " +
                   std::to_string(check.subsystem) + (check.subsystem == 3 ? " (console)" : "") +
                   ", the launcher's is 2 (Windows GUI)";
    }
    return {};
}

// Why nothing may be written to `output`: something that is not a regular file stands there
// (--force or not), or a file does and there is no --force. Empty when it may.
std::string output_problem(const fs::path& output, bool force) {
    std::error_code ignored;
    const fs::file_status status = fs::symlink_status(output, ignored);
    if (!fs::exists(status))
        return {};
    if (!fs::is_regular_file(status))
        return not_regular_problem(status) + "; the output must be a regular file or not exist";
    return force ? std::string() : "already exists; use --force to replace it";
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ignored;
    return fs::equivalent(a, b, ignored);
}

// Checks the output and the inputs before anything is written, and adds up the bytes to copy.
Status check_paths(const BuildRequest& request, std::uint64_t& total) {
    const std::string output_name = path_to_utf8(request.output);
    if (std::string problem = output_problem(request.output, request.force); !problem.empty())
        return Status::failure(output_name + ": " + problem);
    if (same_file(request.launcher, request.output)) {
        return Status::failure(output_name +
                               ": is the launcher itself; the input is never "
                               "modified, write the packed file elsewhere");
    }
    if (Status status = check_launcher(request.launcher); !status.ok())
        return status;
    std::error_code error;
    total = fs::file_size(request.launcher, error);
    for (const PackItem& item : request.items) {
        if (item.kind != PackItem::Kind::file)
            continue;
        const std::string source_name = path_to_utf8(item.source);
        if (fs::is_directory(fs::status(item.source, error)))
            return Status::failure(source_name + ": is a directory");
        if (!FileHandle(open_file(item.source, "rb")))
            return Status::failure(source_name + ": can't open: " + errno_text(errno));
        if (same_file(item.source, request.output))
            return Status::failure(output_name + ": is also an input file (" + item.origin + ")");
        const std::uintmax_t size = fs::file_size(item.source, error);
        total += error ? 0 : size;
    }
    return Status::success();
}

// Appends a whole file to `output`; `written` names the output for messages.
Status append_file(const fs::path& source, std::FILE* output, const std::string& written,
                   ProgressCounter& progress, CopyResult& copied) {
    FileHandle input(open_file(source, "rb"));
    if (!input)
        return Status::failure(path_to_utf8(source) + ": can't open: " + errno_text(errno));
    copied = copy_stream(input.get(), output, std::nullopt, progress);
    if (copied.failure == CopyResult::Failure::read)
        return Status::failure(path_to_utf8(source) + ": can't read: " + errno_text(copied.error));
    if (copied.failure == CopyResult::Failure::write)
        return Status::failure(written + ": can't write: " + errno_text(copied.error));
    return Status::success();
}

// Appends one attachment: a file's data, then the header.
Status append_attachment(const PackItem& item, std::FILE* output, const std::string& written,
                         ProgressCounter& progress) {
    AttachmentPlan plan;
    plan.name = item.name;
    if (item.kind == PackItem::Kind::file) {
        CopyResult copied;
        if (Status status = append_file(item.source, output, written, progress, copied);
            !status.ok()) {
            return status;
        }
        plan.flags = flag_is_file;
        plan.data_size = copied.bytes;
        plan.checksum = copied.checksum;
    } else {
        plan.parameters = item.parameters;
        plan.flags = flag_is_command | (item.lcid ? flag_has_lcid : 0) |
                     (item.in_extraction_dir ? flag_run_in_extraction_dir : 0) |
                     (item.quiet ? flag_quiet : 0);
        plan.lcid = item.lcid.value_or(0);
        plan.checksum = adler32_initial;
    }
    const std::vector<std::uint8_t> header = encode_attachment_header(plan, attachment_signature());
    if (std::fwrite(header.data(), 1, header.size(), output) != header.size())
        return Status::failure(written + ": can't write: " + errno_text(errno));
    return Status::success();
}

}  // namespace

Status check_launcher(const fs::path& launcher) {
    const std::string name = path_to_utf8(launcher);
    FileHandle file(open_file(launcher, "rb"));
    if (!file)
        return Status::failure(name + ": can't open: " + errno_text(errno));
    std::int64_t size = -1;
    if (seek_stream(file.get(), 0, SEEK_END))
        size = tell_stream(file.get());
    if (std::string problem = pe_image_problem(check_pe_image(file.get(), size)); !problem.empty())
        return Status::failure(name + ": " + problem + "; --launcher takes the setup launcher");
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
    std::uint64_t total = 0;
    Status status = check_items(request.items);
    if (status.ok())
        status = check_paths(request, total);
    if (!status.ok())
        return status;
    const std::string output_name = path_to_utf8(request.output);
    DirectoryProblem problem;
    const PinnedDirectory directory =
        PinnedDirectory::open(request.output.parent_path(), {}, false, problem);
    if (!directory.is_open()) {
        return Status::failure(
            output_name + ": can't create a temporary file beside it: " + problem.error.message());
    }
    TemporaryFile output;
    if (const int create_error = output.create(directory, request.output.filename());
        create_error != 0) {
        return Status::failure(
            output_name + ": can't create a temporary file beside it: " + errno_text(create_error));
    }
    ProgressCounter progress(request.progress, total);
    CopyResult copied;
    status = append_file(request.launcher, output.file(), output_name, progress, copied);
    // The launcher reads the chain from the end of the file, so the attachment it processes
    // first is written last.
    for (auto item = request.items.rbegin(); status.ok() && item != request.items.rend(); ++item)
        status = append_attachment(*item, output.file(), output_name, progress);
    if (!status.ok())
        return status;
    if (const int close_error = output.close(); close_error != 0)
        return Status::failure(output_name + ": can't write: " + errno_text(close_error));
    // The packed file is as executable as the launcher; it stays writable, so that a later
    // build with --force can replace it on Windows as well.
    std::error_code error;
    const fs::perms permissions = fs::status(request.launcher, error).permissions();
    if (!error)
        fs::permissions(output.path(), permissions | fs::perms::owner_write, error);
    if (const std::error_code rename_error = output.commit(request.force))
        return Status::failure(rename_failure(request.output, rename_error, request.force));
    return Status::success();
}
