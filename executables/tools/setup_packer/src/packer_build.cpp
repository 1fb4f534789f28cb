#include <cerrno>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

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
