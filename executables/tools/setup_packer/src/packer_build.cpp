#include <algorithm>
#include <cerrno>
#include <memory>
#include <span>

#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

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
            return "is a PE image for the machine " + hex16(check.machine) +
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

// Why an input can't be packed: `refused` is what stands there instead of a regular file, or none
// for a failed open (errno). `note` says where a manifest's relative path came from.
Status input_refusal(const fs::path& source, fs::file_type refused, const std::string& note = {}) {
    std::string problem = "can't open: " + errno_text(errno);
    if (refused == fs::file_type::directory) {
        problem = "is a directory";
    } else if (refused != fs::file_type::none) {
        problem = not_regular_problem(fs::file_status(refused)) + "; only regular files are packed";
    }
    return Status::failure(path_to_utf8(source) + ": " + problem + note);
}

// Checks the file inputs in the order given: each one a regular file that can be opened, none the
// output. With `open_each`, every input is opened to see that it can be; without, each path is
// only looked at once, and an input that can't be opened shows when it is read. Adds up the
// sizes of the inputs.
Status check_inputs(const BuildRequest& request, bool open_each, std::uint64_t& total) {
    const FileStatus output = file_status(request.output);
    InputFiles inputs;
    for (const PackItem& item : request.items) {
        if (item.kind != PackItem::Kind::file)
            continue;
        const FileStatus input = inputs.status(item.source);
        if (input.error == 0 && input.type != fs::file_type::regular)
            return input_refusal(item.source, input.type, item.source_note);
        if (open_each || input.error != 0) {
            if (const InputFile file = inputs.open(item.source); !file.is_open())
                return input_refusal(item.source, file.refused(), item.source_note);
        }
        if (same_file(input, output)) {
            return Status::failure(path_to_utf8(request.output) + ": is also an input file (" +
                                   item.origin + ")");
        }
        total += input.size;
    }
    return Status::success();
}

// Checks the output and the launcher before anything is written, and counts the launcher's bytes.
Status check_output_and_launcher(const BuildRequest& request, std::uint64_t& total) {
    const std::string output_name = path_to_utf8(request.output);
    if (std::string problem = output_problem(request.output, request.force); !problem.empty())
        return Status::failure(output_name + ": " + problem);
    const FileStatus launcher = file_status(request.launcher);
    if (same_file(launcher, file_status(request.output))) {
        return Status::failure(output_name +
                               ": is the launcher itself; the input is never "
                               "modified, write the packed file elsewhere");
    }
    if (Status status = check_launcher(request.launcher, request.foreign_launcher); !status.ok())
        return status;
    total = launcher.error == 0 ? launcher.size : 0;
    return Status::success();
}

// Where a build appends: the output with its name for messages, through a buffer of whole
// chunks into which the inputs are read straight, so that their bytes are copied once.
class Appender {
public:
    Appender(std::FILE* output, const std::string& output_name, ProgressCounter& progress)
        : output_(output), output_name_(output_name), progress_(progress) {}

    // Appends a whole file; `note` goes with a message about it (PackItem::source_note).
    Status file(const fs::path& source, CopyResult& copied, const std::string& note = {});
    // Appends bytes made here.
    Status bytes(std::span<const std::uint8_t> bytes);
    // Writes what is buffered.
    Status flush();
    // Overwrites 4 bytes of what was written, little-endian; after the last flush.
    Status patch_u32(std::uint64_t offset, std::uint32_t value);
    // Sums everything written from now on into `checksum`.
    void track_checksum(PeChecksum* checksum) { checksum_ = checksum; }

private:
    Status write_failure(int error) const {
        return Status::failure(output_name_ + ": can't write: " + errno_text(error));
    }
    std::FILE* output_;
    const std::string& output_name_;
    ProgressCounter& progress_;
    InputFiles inputs_;
    PeChecksum* checksum_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer_ =
        std::make_unique_for_overwrite<std::uint8_t[]>(copy_chunk_size);  // not cleared
    std::size_t filled_ = 0;
};

Status Appender::file(const fs::path& source, CopyResult& copied, const std::string& note) {
    InputFile input = inputs_.open(source);
    if (!input.is_open())
        return input_refusal(source, input.refused(), note);
    copied = CopyResult{};
    for (;;) {
        if (filled_ == copy_chunk_size) {
            if (Status status = flush(); !status.ok())
                return status;
        }
        std::uint8_t* const at = buffer_.get() + filled_;
        const std::int64_t got = input.read(at, copy_chunk_size - filled_);
        if (got < 0) {
            return Status::failure(path_to_utf8(source) +
                                   ": can't read: " + errno_text(errno != 0 ? errno : EIO) + note);
        }
        if (got == 0)
            return Status::success();
        const auto size = static_cast<std::size_t>(got);
        copied.checksum = adler32(copied.checksum, at, size);
        copied.bytes += size;
        filled_ += size;
        progress_.add(size);
    }
}

Status Appender::bytes(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (filled_ == copy_chunk_size) {
            if (Status status = flush(); !status.ok())
                return status;
        }
        const std::size_t part = std::min(bytes.size(), copy_chunk_size - filled_);
        std::copy_n(bytes.begin(), part, buffer_.get() + filled_);
        filled_ += part;
        bytes = bytes.subspan(part);
    }
    return Status::success();
}

Status Appender::patch_u32(std::uint64_t offset, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    errno = 0;
    if (!seek_stream(output_, static_cast<std::int64_t>(offset), SEEK_SET) ||
        std::fwrite(bytes, 1, sizeof bytes, output_) != sizeof bytes) {
        return write_failure(errno != 0 ? errno : EIO);
    }
    return Status::success();
}

Status Appender::flush() {
    errno = 0;
    if (filled_ != 0 && std::fwrite(buffer_.get(), 1, filled_, output_) != filled_)
        return write_failure(errno != 0 ? errno : EIO);
    if (checksum_ != nullptr)
        checksum_->add({buffer_.get(), filled_});
    filled_ = 0;
    return Status::success();
}

// Appends one attachment: a file's data, then the header.
Status append_attachment(Appender& appender, const PackItem& item) {
    AttachmentPlan plan;
    plan.name = item.name;
    if (item.kind == PackItem::Kind::file) {
        CopyResult copied;
        if (Status status = appender.file(item.source, copied, item.source_note); !status.ok())
            return status;
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
    return appender.bytes(encode_attachment_header(plan, attachment_signature()));
}

// Writes the launcher file once its inputs were checked: into a temporary file beside the output,
// renamed to the output at the end. Sets `inputs_read` once every input was read.
// Appends the launcher, as branded when it was (`image`), and the attachments, and writes what is
// buffered. Sets `inputs_read` once every input was read. A branded image's PE checksum is made
// that of the whole file, as Windows computes it.
Status append_contents(Appender& appender, const BuildRequest& request,
                       const std::vector<std::uint8_t>& image, bool& inputs_read) {
    std::optional<PeChecksum> checksum;
    std::size_t checksum_at = 0;
    CopyResult copied;
    Status status = Status::success();
    if (image.empty()) {
        status = appender.file(request.launcher, copied);
    } else {
        PeLayout layout;
        if (!read_pe_layout(image, image.size(), layout).empty())
            return Status::failure(path_to_utf8(request.launcher) +
                                   ": the branded image is damaged");
        checksum_at = pe_checksum_offset(layout);
        appender.track_checksum(&checksum.emplace(checksum_at));
        status = appender.bytes(image);
    }
    // The launcher reads the chain from the end of the file, so the attachment it processes
    // first is written last.
    for (auto item = request.items.rbegin(); status.ok() && item != request.items.rend(); ++item)
        status = append_attachment(appender, *item);
    inputs_read = status.ok();
    if (status.ok())
        status = appender.flush();
    if (status.ok() && checksum)
        status = appender.patch_u32(checksum_at, checksum->value());
    return status;
}

Status write_launcher(const BuildRequest& request, std::uint64_t total,
                      const std::vector<std::uint8_t>& image, bool& inputs_read) {
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
    // The appender writes whole chunks; a stream buffer would only copy them once more.
    std::setvbuf(output.file(), nullptr, _IONBF, 0);
    Appender appender(output.file(), output_name, progress);
    if (Status status = append_contents(appender, request, image, inputs_read); !status.ok())
        return status;
    if (const int close_error = output.close(); close_error != 0)
        return Status::failure(output_name + ": can't write: " + errno_text(close_error));
    // The packed file is as executable as the launcher; it stays writable, so that a later
    // build with --force can replace it on Windows as well.
    std::error_code error;
    // Only the access bits: a set-user-ID launcher makes no set-user-ID setup file.
    const fs::perms permissions =
        fs::status(request.launcher, error).permissions() & fs::perms::all;
    if (!error)
        fs::permissions(output.path(), permissions | fs::perms::owner_write, error);
    if (const std::error_code rename_error = output.commit(request.force))
        return Status::failure(rename_failure(request.output, rename_error, request.force));
    return Status::success();
}

// The launcher's image with the request's icon and version details; counts the bytes it has more
// or less than the launcher.
Status branded_launcher(const BuildRequest& request, std::vector<std::uint8_t>& image,
                        std::uint64_t& total) {
    const std::string name = path_to_utf8(request.launcher);
    if (std::string problem = read_file_bytes(request.launcher, max_branded_launcher_size, image);
        !problem.empty()) {
        return Status::failure(name + ": " + problem);
    }
    const std::uint64_t original = image.size();
    if (std::string problem = brand_image(image, name, request.branding); !problem.empty())
        return Status::failure(problem);
    total = total - original + image.size();
    return Status::success();
}

}  // namespace

Status check_launcher(const fs::path& launcher, bool allow_foreign) {
    const std::string name = path_to_utf8(launcher);
    fs::file_type refused = fs::file_type::none;
    FileHandle file(open_regular_file(launcher, refused));
    if (!file)
        return input_refusal(launcher, refused);
    std::int64_t size = -1;
    if (seek_stream(file.get(), 0, SEEK_END))
        size = tell_stream(file.get());
    if (std::string problem = pe_image_problem(check_pe_image(file.get(), size)); !problem.empty())
        return Status::failure(name + ": " + problem + "; --launcher takes the setup launcher");
    errno = 0;
    const std::int64_t found = find_first_signature(file.get(), size, attachment_signature());
    if (found == -2)
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
    if (allow_foreign)
        return Status::success();
    const ImageResources image = read_image_resources(file.get(), size);
    std::string problem = image.problem.empty() ? launcher_identity_problem(image.resources)
                                                : "its resources can't be read: " + image.problem;
    if (!problem.empty()) {
        return Status::failure(name + ": is no setup launcher: " + problem +
                               "; --allow-foreign-launcher packs it all the same");
    }
    return Status::success();
}

Status build_launcher(const BuildRequest& request) {
    std::uint64_t total = 0;
    if (request.items.empty() && !request.allow_empty) {
        return Status::failure(path_to_utf8(request.output) +
                               ": no attachments to pack: give --file, --directory, --command or "
                               "a --manifest with entries, or --allow-empty for a launcher file "
                               "that does nothing");
    }
    if (Status status = check_items(request.items); !status.ok())
        return status;
    if (Status status = check_output_and_launcher(request, total); !status.ok())
        return status;
    // What must be known of the inputs before writing: their sizes for a progress bar, and
    // whether one is the output, when there is one. Anything else wrong with an input shows when
    // it is read.
    Status status = Status::success();
    if (request.progress || file_status(request.output).error == 0)
        status = check_inputs(request, false, total);
    // A branded image is made in memory before anything is written.
    std::vector<std::uint8_t> image;
    if (status.ok() && !request.branding.empty())
        status = branded_launcher(request, image, total);
    bool inputs_read = false;
    if (status.ok())
        status = write_launcher(request, total, image, inputs_read);
    if (status.ok() || inputs_read)
        return status;
    // The inputs were not opened before writing. Opened in the order given, an input that can't
    // be read is the first problem, and the one to report.
    std::uint64_t ignored = 0;
    Status first = check_inputs(request, true, ignored);
    return first.ok() ? status : first;
}
