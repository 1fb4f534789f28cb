// The extraction directory: made and held through a descriptor or handle, everything below it
// reached from there (setup_payload/directory_handles.h), never through a link.
#include "private_directory.h"

#include <algorithm>

#include "platform.h"
#include "setup_payload/file_names.h"

namespace {

// The directory that holds the extraction directory, opened by its path once, when the
// extraction directory is made: later renames of anything on that path change nothing for the
// launcher. Then the extraction directory's name there, its identity, and the directory itself,
// held from its creation until it is removed. On Windows the handle shares reading and writing
// but not deletion: while it is open nobody can rename the directory (which the user's own
// processes could otherwise do in the user's TMP, with the right to delete children that they
// have there) and put another one in its place.
DirectoryHandle parent_directory = no_directory;
std::u16string private_name;
DirectoryHandle private_root = no_directory;
DirectoryIdentity private_identity;
// The directory below it that was asked for last, held open with its name relative to it: the
// files of one directory usually come one after another, and each is then made through it
// without opening the directories above it again.
DirectoryHandle held_directory = no_directory;
std::u16string held_directory_name;

// The separators of the system's own paths: Windows takes "/" as well.
std::u16string_view path_separators() {
    return native_separator() == u'\\' ? name_separators : u"/";
}

// The directory that holds `path` ("C:\Temp" of "C:\Temp\VOQSETUP2"; "C:\" and "/" keep their
// separator, and a name without one lies in the current directory), and the name there.
std::u16string parent_of(const std::u16string& path, std::u16string& name) {
    const std::size_t cut = path.find_last_of(path_separators());
    name = path.substr(cut == std::u16string::npos ? 0 : cut + 1);
    if (cut == std::u16string::npos)
        return u".";
    const bool keeps_separator = cut == 0 || path[cut - 1] == u':';
    return path.substr(0, keeps_separator ? cut + 1 : cut);
}

void forget_held_directory() {
    close_directory(held_directory);
    held_directory = no_directory;
    held_directory_name.clear();
}

// open_directory_path_at below the private directory for the held directory: it stays open until
// another directory is asked for or the private directory is let go; the caller does not close
// it.
DirectoryHandle held_private_path(std::u16string_view relative, bool create) {
    if (private_root == no_directory)
        return no_directory;
    if (held_directory != no_directory && relative == held_directory_name)
        return held_directory;
    const DirectoryHandle directory = open_directory_path_at(
        private_root, relative, private_to_user | (create ? unsigned{create_missing} : 0u));
    if (directory == no_directory)
        return directory;
    forget_held_directory();
    held_directory = directory;
    held_directory_name = relative;
    return directory;
}

}  // namespace

NewDirectoryStatus create_private_directory(const std::u16string& path) {
    release_private_directory();
    std::u16string sddl;
    if (!private_directory_security(sddl))
        return NewDirectoryStatus::failed;
    std::u16string name;
    // The directory above is taken as its path names it now, links included: it is the user's
    // choice of a temporary directory.
    const DirectoryHandle parent = open_directory(parent_of(path, name), 0);
    if (parent == no_directory)
        return NewDirectoryStatus::failed;
    DirectoryHandle root = no_directory;
    const NewDirectoryStatus status =
        create_directory_at(parent, name, private_to_user | pinned, sddl, root);
    if (status == NewDirectoryStatus::created && !directory_identity(root, private_identity)) {
        close_directory(root);
        close_directory(parent);
        return NewDirectoryStatus::failed;
    }
    if (status != NewDirectoryStatus::created) {
        close_directory(parent);
        return status;
    }
    parent_directory = parent;
    private_name = name;
    private_root = root;
    return NewDirectoryStatus::created;
}

bool private_subdirectory(std::u16string_view relative) {
    return held_private_path(relative, true) != no_directory;
}

NewFile create_private_file(std::u16string_view relative) {
    const std::size_t last_separator = relative.find_last_of(path_separators());
    const std::size_t name_start =
        last_separator == std::u16string_view::npos ? 0 : last_separator + 1;
    const DirectoryHandle directory = held_private_path(relative.substr(0, name_start), false);
    if (directory == no_directory)
        return {};
    return create_file_at(directory, relative.substr(name_start));
}

DirectoryHandle private_directory() {
    return private_root;
}

void release_held_subdirectory() {
    forget_held_directory();
}

bool remove_private_directory() {
    if (parent_directory == no_directory)
        return true;
    forget_held_directory();
    return remove_held_directory_at(parent_directory, private_name, private_root, private_identity);
}

void release_private_directory() {
    forget_held_directory();
    close_directory(private_root);
    close_directory(parent_directory);
    private_root = no_directory;
    parent_directory = no_directory;
    private_name.clear();
}
