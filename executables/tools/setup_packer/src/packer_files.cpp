#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <span>

#include "packer_internal.h"
#include "packer_io.h"

namespace fs = std::filesystem;

// What every system's pinned directory shares: a move hands the handles over; the end closes them.
PinnedDirectory::PinnedDirectory(PinnedDirectory&& other) noexcept
    : path_(std::move(other.path_)), handles_(std::move(other.handles_)) {
    other.handles_.clear();
}

PinnedDirectory& PinnedDirectory::operator=(PinnedDirectory&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        handles_ = std::move(other.handles_);
        other.handles_.clear();
    }
    return *this;
}

PinnedDirectory::~PinnedDirectory() {
    close();
}

std::string errno_text(int error) {
    return error != 0 ? std::strerror(error) : "input/output error";
}

CopyResult copy_stream(std::FILE* from, std::FILE* to, std::optional<std::uint64_t> size,
                       ProgressCounter& progress) {
    // Not cleared: a payload of many small files would clear a whole chunk for each.
    const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(copy_chunk_size);
    const std::span<std::uint8_t> buffer(chunk.get(), copy_chunk_size);
    CopyResult result;
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

namespace {

std::string random_suffix() {
    static std::mt19937_64 generator(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[24];
    std::snprintf(text, sizeof text, "%08llx", static_cast<unsigned long long>(generator()));
    return text;
}

}  // namespace

int TemporaryFile::create(const PinnedDirectory& directory, const fs::path& target) {
    discard();
    for (int attempt = 0; attempt < 16; ++attempt) {
        fs::path candidate = target;
        candidate += path_from_utf8("." + random_suffix() + ".partial");
        // Named to the interrupt first, so that no moment passes with the file made but not
        // named; the random name is nobody else's to lose.
        remove_on_interrupt(directory, candidate);
        std::FILE* file = directory.create_file(candidate);
        if (file != nullptr) {
            file_.reset(file);
            directory_ = &directory;
            name_ = candidate;
            target_ = target;
            return 0;
        }
        const int error = errno;
        forget_partial_file();
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

fs::path TemporaryFile::path() const {
    return directory_ != nullptr ? directory_->path() / name_ : name_;
}

int TemporaryFile::close() {
    if (!file_)
        return 0;
    errno = 0;
    const bool failed = std::fflush(file_.get()) != 0 || std::ferror(file_.get()) != 0;
    int error = failed ? (errno != 0 ? errno : EIO) : 0;
    if (std::fclose(file_.release()) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    return error;
}

std::error_code TemporaryFile::commit(bool replace) {
    // --force replaces a file, never a device, a pipe or a directory that took its place.
    const EntryType existing = directory_->entry_type(target_);
    if (replace && existing != EntryType::none && existing != EntryType::regular_file)
        return std::make_error_code(std::errc::file_exists);
    const std::error_code error = directory_->rename(name_, target_, replace);
    if (!error) {
        name_.clear();
        forget_partial_file();
    }
    return error;
}

void TemporaryFile::discard() {
    file_.reset();
    if (!name_.empty()) {
        directory_->remove(name_);
        name_.clear();
        forget_partial_file();
    }
}

std::string not_regular_problem(const fs::file_status& status) {
    const auto kind = [&status]() -> std::string {
        switch (status.type()) {
            case fs::file_type::directory:
                return "a directory";
            case fs::file_type::symlink:
                return "a symbolic link";
            case fs::file_type::character:
                return "a character device";
            case fs::file_type::block:
                return "a block device";
            case fs::file_type::fifo:
                return "a named pipe";
            case fs::file_type::socket:
                return "a socket";
            default:
                return "something other than a file";
        }
    };
    return "is " + kind() + ", not a regular file";
}

std::string rename_failure(const fs::path& target, const std::error_code& error, bool replace) {
    std::error_code ignored;
    const fs::file_status status = fs::symlink_status(target, ignored);
    if (fs::exists(status) && !replace)
        return terminal_path(target) + ": already exists";
    if (fs::exists(status) && !fs::is_regular_file(status))
        return terminal_path(target) + ": " + not_regular_problem(status);
    return terminal_path(target) + ": can't be created: " + error.message();
}
