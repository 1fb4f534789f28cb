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

void PinnedDirectory::close() {
    for (const DirectoryHandle handle : handles_)
        close_directory(handle);
    handles_.clear();
}

namespace {

// Why the component `name` of `parent` could not be opened as a directory: a link or something
// else stands there, or the system said no.
DirectoryProblem component_problem(DirectoryHandle parent, const fs::path& name,
                                   const fs::path& path, const std::error_code& error) {
    switch (entry_type_at(parent, native_units(name))) {
        case EntryType::symbolic_link:
            return {DirectoryProblem::Kind::symbolic_link, path, {}};
        case EntryType::none:
        case EntryType::directory:
            return {DirectoryProblem::Kind::system_error, path, error};
        default:
            return {DirectoryProblem::Kind::not_a_directory, path, {}};
    }
}

}  // namespace

PinnedDirectory PinnedDirectory::open(const fs::path& base, const std::vector<fs::path>& components,
                                      bool create, DirectoryProblem& problem) {
    PinnedDirectory directory;
    directory.path_ = base.empty() ? fs::path(".") : base;
    std::error_code ignored;
    if (create)
        fs::create_directories(directory.path_, ignored);  // opening it says what went wrong
    DirectoryHandle current = open_directory(native_units(directory.path_), pinned);
    if (current == no_directory) {
        const std::error_code error = last_system_error();
        problem =
            names_a_file(error)
                ? DirectoryProblem{DirectoryProblem::Kind::not_a_directory, directory.path_, {}}
                : DirectoryProblem{DirectoryProblem::Kind::system_error, directory.path_, error};
        return {};
    }
    directory.handles_.push_back(current);
    for (const fs::path& component : components) {
        directory.path_ /= component;
        const DirectoryHandle next = open_directory_at(
            current, native_units(component), pinned | (create ? unsigned{create_missing} : 0u));
        if (next == no_directory) {
            problem = component_problem(current, component, directory.path_, last_system_error());
            return {};
        }
        directory.handles_.push_back(current = next);
    }
    problem = {};
    return directory;
}

std::FILE* PinnedDirectory::create_file(const fs::path& name) const {
    // Removable while open, so that an interruption can remove it (remove_on_interrupt).
    const NewFile created = create_file_at(handles_.back(), native_units(name), true);
    if (created.status == NewFileStatus::name_taken)
        errno = EEXIST;
    return created.file;
}

EntryType PinnedDirectory::entry_type(const fs::path& name) const {
    return entry_type_at(handles_.back(), native_units(name));
}

void PinnedDirectory::remove(const fs::path& name) const {
    delete_file_at(handles_.back(), native_units(name));
}

std::string errno_text(int error) {
    return error != 0 ? std::strerror(error) : "input/output error";
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
