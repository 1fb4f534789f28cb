// --directory: the regular files of a tree as file attachments.
#include <algorithm>
#include <iterator>
#include <system_error>

#include "packer_internal.h"

namespace fs = std::filesystem;

namespace {

// A file found below the tree: its path below it, components joined by "/", in the bytes the file
// system gave; and where it lies.
struct TreeFile {
    std::string name;
    fs::path source;
};

// Why an entry that is neither a directory nor a regular file (also through a link) can't be
// packed.
std::string entry_problem(const fs::directory_entry& entry) {
    std::error_code ignored;
    const fs::file_status target = entry.status(ignored);
    if (entry.is_symlink(ignored)) {
        if (fs::is_directory(target))
            return "is a symbolic link to a directory; --directory follows links to files only";
        if (!fs::exists(target))
            return "is a symbolic link to nothing";
    }
    return not_regular_problem(target) + "; --directory packs regular files";
}

// Adds the entries of one directory: files to `files`, directories to `pending`.
Status list_directory(const fs::path& directory, const std::string& prefix,
                      std::vector<TreeFile>& files, std::vector<TreeFile>& pending) {
    std::error_code error;
    for (fs::directory_iterator entries(directory, error);
         !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::directory_entry& entry = *entries;
        std::string name = prefix + path_to_utf8(entry.path().filename());
        std::error_code ignored;
        if (!entry.is_symlink(ignored) && entry.is_directory(ignored)) {
            pending.push_back({name + "/", entry.path()});
        } else if (entry.is_regular_file(ignored)) {
            files.push_back({std::move(name), entry.path()});
        } else {
            return Status::failure(terminal_path(entry.path()) + ": " + entry_problem(entry));
        }
    }
    if (error)
        return Status::failure(terminal_path(directory) + ": can't read: " + error.message());
    return Status::success();
}

// The files below `root`, in the order of their names' bytes: of their code points, for UTF-8.
Status list_tree(const fs::path& root, std::vector<TreeFile>& files) {
    // Directories still to read, taken from the back: no recursion, however deep the tree.
    std::vector<TreeFile> pending{{"", root}};
    while (!pending.empty()) {
        const TreeFile directory = std::move(pending.back());
        pending.pop_back();
        if (Status status = list_directory(directory.source, directory.name, files, pending);
            !status.ok()) {
            return status;
        }
    }
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
    return Status::success();
}

}  // namespace

Status parse_directory_argument(std::string_view argument, DirectoryArgument& directory) {
    directory = DirectoryArgument{};
    directory.origin = "--directory " + std::string(argument);
    const std::size_t equals = argument.rfind('=');
    const std::string_view root = argument.substr(0, equals);
    if (root.empty())
        return Status::failure(directory.origin + ": the path is empty");
    directory.root = path_from_utf8(root);
    if (equals == std::string_view::npos)
        return Status::success();
    std::optional<std::u16string> name = from_utf8_strict(argument.substr(equals + 1));
    if (!name)
        return Status::failure(directory.origin + ": the name is not valid UTF-8");
    directory.name = std::move(*name);
    if (!directory.name.empty() && !is_separator(directory.name.back()))
        directory.name.push_back(u'/');
    return Status::success();
}

Status add_directory_files(const DirectoryArgument& directory, std::vector<PackItem>& items) {
    std::error_code error;
    if (!fs::is_directory(directory.root, error)) {
        if (error)
            return Status::failure(terminal_path(directory.root) +
                                   ": can't open: " + error.message());
        return Status::failure(terminal_path(directory.root) +
                               ": is not a directory; give a file with --file");
    }
    std::vector<TreeFile> files;
    if (Status status = list_tree(directory.root, files); !status.ok())
        return status;
    std::vector<PackItem> found(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::optional<std::u16string> name = from_utf8_strict(files[i].name);
        if (!name)
            return Status::failure(terminal_path(files[i].source) +
                                   ": the name is not valid UTF-8");
        found[i].source = std::move(files[i].source);
        found[i].name = directory.name + *name;
        found[i].origin = directory.origin;
    }
    items.insert(items.end(), std::make_move_iterator(found.begin()),
                 std::make_move_iterator(found.end()));
    return Status::success();
}
