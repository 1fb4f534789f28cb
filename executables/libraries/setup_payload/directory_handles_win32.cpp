// Directories held open on Windows: handles, and everything below one made, opened and deleted
// relative to the handle of the directory above, one name at a time (NtCreateFile with a root
// directory). No reparse point is ever followed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "setup_payload/directory_handles.h"
#include "setup_payload/file_names.h"
#include "setup_payload/system_errors.h"
#include "setup_payload/wide_win32.h"

namespace {

// What a tool may do with a directory it holds, and what it lets others do meanwhile.
constexpr ACCESS_MASK directory_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

ULONG directory_sharing(unsigned flags) {
    return (flags & pinned) != 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : share_all;
}

HANDLE as_handle(DirectoryHandle directory) {
    return reinterpret_cast<HANDLE>(directory);
}

DirectoryHandle as_directory(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? no_directory
                                          : reinterpret_cast<DirectoryHandle>(handle);
}

void close_keeping_error(HANDLE handle) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
}

// Opens or creates the entry `name` of `parent` by that one name: no path is parsed, and a
// reparse point is opened as itself, never followed. Fails with the system's error set.
HANDLE open_relative(HANDLE parent, std::u16string_view name, ACCESS_MASK access, ULONG share,
                     ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security = nullptr) {
    if (name.empty() || name.size() > max_path_units) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING unicode_name;
    unicode_name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name.data()));
    unicode_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicode_name.MaximumLength = unicode_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode_name, OBJ_CASE_INSENSITIVE, parent, security);
    IO_STATUS_BLOCK io{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// A directory, and no reparse point (a junction or a link) that would lead elsewhere.
bool is_plain_directory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool is_plain_directory(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) &&
           is_plain_directory(information.dwFileAttributes);
}

// Marks an open file or empty directory for deletion when its last handle closes.
bool mark_for_deletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != 0;
}

bool same_file(HANDLE handle, const DirectoryIdentity& identity) {
    DirectoryIdentity other;
    return directory_identity(as_directory(handle), other) && other.volume == identity.volume &&
           other.index == identity.index;
}

// Opens the directory `name` of `parent` anew, for deleting it, when it is still the directory
// of that identity; INVALID_HANDLE_VALUE otherwise.
HANDLE reopen_for_deletion(HANDLE parent, std::u16string_view name,
                           const DirectoryIdentity& identity) {
    const HANDLE directory = open_relative(parent, name, DELETE | FILE_READ_ATTRIBUTES, share_all,
                                           FILE_OPEN, FILE_DIRECTORY_FILE);
    if (directory == INVALID_HANDLE_VALUE || same_file(directory, identity))
        return directory;
    CloseHandle(directory);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// A file's handle as a stream for writing; the handle is closed when that fails.
std::FILE* as_stream(HANDLE file) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    std::FILE* stream = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
    }
    return stream;
}

// Why a file could not be created under a name: it is taken (by anything but a directory), or
// the creation failed for the system's reasons. Sets errno and the last error as the report of
// that failure shows them.
NewFileStatus creation_failure(HANDLE directory, std::u16string_view name, DWORD error) {
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    // A directory can't be opened for writing: that is the failure to report.
    const HANDLE existing =
        exists ? open_relative(directory, name, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN, 0)
               : INVALID_HANDLE_VALUE;
    const bool is_directory = existing != INVALID_HANDLE_VALUE && is_plain_directory(existing);
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    // A name that exists is no failure of the system's, and is reported without one; a directory
    // is reported as opening it for writing always failed.
    const bool taken = exists && !is_directory;
    errno = taken ? 0 : is_directory ? EACCES : errno_for_system_error(error);
    SetLastError(taken ? ERROR_SUCCESS : is_directory ? ERROR_ACCESS_DENIED : error);
    return taken ? NewFileStatus::name_taken : NewFileStatus::failed;
}

}  // namespace

DirectoryHandle open_directory(const std::u16string& path, unsigned flags) {
    // Pinned, with listing access: Windows checks the sharing of an open only against handles
    // that have data access. Otherwise passing through is all that is asked.
    const bool pin = (flags & pinned) != 0;
    const HANDLE handle = CreateFileW(
        as_wide(path), pin ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES : FILE_TRAVERSE,
        directory_sharing(flags), nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // A file opens as well: a pinned directory must be one.
    if (handle != INVALID_HANDLE_VALUE && pin) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(handle, &information) ||
            (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            CloseHandle(handle);
            SetLastError(ERROR_DIRECTORY);
            return no_directory;
        }
    }
    return as_directory(handle);
}

DirectoryHandle open_directory_at(DirectoryHandle parent, std::u16string_view name,
                                  unsigned flags) {
    if (name == u"." || name == u"..") {
        SetLastError(ERROR_INVALID_NAME);
        return no_directory;
    }
    HANDLE next = open_relative(as_handle(parent), name, directory_access, directory_sharing(flags),
                                (flags & create_missing) != 0 ? FILE_OPEN_IF : FILE_OPEN,
                                FILE_DIRECTORY_FILE);
    // What stands there is reported as the directory's creation would report it.
    if (next == INVALID_HANDLE_VALUE && GetLastError() == ERROR_DIRECTORY)
        SetLastError(ERROR_ALREADY_EXISTS);
    if (next != INVALID_HANDLE_VALUE && !is_plain_directory(next)) {
        CloseHandle(next);
        next = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return as_directory(next);
}

DirectoryHandle open_directory_path_at(DirectoryHandle start, std::u16string_view relative,
                                       unsigned flags) {
    DirectoryHandle current = start;  // borrowed, never closed here
    while (!relative.empty()) {
        const std::size_t cut = std::min(relative.find_first_of(name_separators), relative.size());
        const std::u16string_view component = relative.substr(0, cut);
        relative.remove_prefix(std::min(cut + 1, relative.size()));
        if (component.empty())
            continue;
        const DirectoryHandle next = open_directory_at(current, component, flags);
        if (current != start)
            close_keeping_error(as_handle(current));
        current = next;
        if (current == no_directory)
            return current;
    }
    if (current != start)
        return current;
    HANDLE copy = INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), as_handle(start), GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return as_directory(copy);
}

void close_directory(DirectoryHandle directory) {
    if (directory != no_directory)
        CloseHandle(as_handle(directory));
}

NewDirectoryStatus create_directory_at(DirectoryHandle parent, std::u16string_view name,
                                       unsigned flags, std::u16string_view security,
                                       DirectoryHandle& created) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!security.empty() &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            as_wide(std::u16string(security)), SDDL_REVISION_1, &descriptor, nullptr)) {
        return NewDirectoryStatus::failed;
    }
    // Made and opened in one step, so that nothing else can take its place in between.
    const HANDLE directory =
        open_relative(as_handle(parent), name, directory_access, directory_sharing(flags),
                      FILE_CREATE, FILE_DIRECTORY_FILE, descriptor);
    const DWORD error = GetLastError();
    if (descriptor != nullptr)
        LocalFree(descriptor);
    SetLastError(error);
    if (directory == INVALID_HANDLE_VALUE) {
        return error == ERROR_ALREADY_EXISTS ? NewDirectoryStatus::name_taken
                                             : NewDirectoryStatus::failed;
    }
    created = as_directory(directory);
    return NewDirectoryStatus::created;
}

NewFile create_file_at(DirectoryHandle parent, std::u16string_view name,
                       bool removable_while_open) {
    NewFile result;
    // FILE_CREATE fails on any entry of that name; a link of that name is not followed to create
    // its target either.
    const ULONG share = FILE_SHARE_READ | (removable_while_open ? FILE_SHARE_DELETE : 0);
    const HANDLE file = open_relative(as_handle(parent), name, GENERIC_WRITE, share, FILE_CREATE,
                                      FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE) {
        result.status = creation_failure(as_handle(parent), name, GetLastError());
        return result;
    }
    result.file = as_stream(file);
    if (result.file == nullptr) {
        const int error = errno;
        delete_file_at(parent, name);
        errno = error;
        return result;
    }
    result.status = NewFileStatus::created;
    return result;
}

EntryType entry_type_at(DirectoryHandle parent, std::u16string_view name) {
    const HANDLE entry =
        open_relative(as_handle(parent), name, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN, 0);
    if (entry == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryType::none
                                                                              : EntryType::other;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(entry, &information);
    CloseHandle(entry);
    if (!known)
        return EntryType::other;
    const DWORD attributes = information.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return EntryType::symbolic_link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return EntryType::directory;
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryType::other : EntryType::regular_file;
}

std::vector<DirectoryEntry> list_directory_at(DirectoryHandle directory) {
    std::vector<DirectoryEntry> entries;
    // 64 KiB, aligned for the records, which the system fills as many as fit per call.
    std::vector<std::uint64_t> buffer(8192);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(buffer[0]));
    FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(as_handle(directory), query, buffer.data(), size)) {
        query = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (DWORD offset = 0; offset + sizeof(FILE_ID_BOTH_DIR_INFO) <= size;) {
            const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
            const DWORD name_offset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
            if (record->FileNameLength > size - offset - name_offset)
                break;
            const std::u16string name(reinterpret_cast<const char16_t*>(record->FileName),
                                      record->FileNameLength / sizeof(char16_t));
            if (name != u"." && name != u"..")
                entries.push_back({name, record->FileAttributes});
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
    }
    return entries;
}

bool delete_file_at(DirectoryHandle parent, std::u16string_view name) {
    const HANDLE file = open_relative(as_handle(parent), name, DELETE | FILE_READ_ATTRIBUTES,
                                      share_all, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool marked = mark_for_deletion(file);
    close_keeping_error(file);
    return marked;
}

bool directory_identity(DirectoryHandle directory, DirectoryIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(as_handle(directory), &information))
        return false;
    identity.volume = information.dwVolumeSerialNumber;
    identity.index = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
    return true;
}

// Each attempt opens the directory anew: Wine judges a directory's emptiness from the listing
// position of the handle it is asked through, so a handle asked twice would answer wrongly.
bool remove_directory_at(DirectoryHandle parent, std::u16string_view name,
                         const DirectoryIdentity& identity) {
    const HANDLE directory = reopen_for_deletion(as_handle(parent), name, identity);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    const bool marked = mark_for_deletion(directory);
    close_keeping_error(directory);
    return marked;
}

bool remove_held_directory_at(DirectoryHandle parent, std::u16string_view name,
                              DirectoryHandle& held, const DirectoryIdentity& identity) {
    close_directory(held);
    held = no_directory;
    return remove_directory_at(parent, name, identity);
}
