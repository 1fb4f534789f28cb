// The extraction directory on Windows: made and held through handles. Everything below it is
// made, opened and deleted relative to the handle of the directory above, one name at a time
// (NtCreateFile with a root directory), and no reparse point is ever followed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "file_helpers.h"
#include "file_names.h"
#include "platform.h"
#include "system_errors.h"
#include "wide_win32.h"

namespace {

// The directory that holds the extraction directory, opened by its path once, when the
// extraction directory is made, and the extraction directory's name there. Then the extraction
// directory itself, held from its creation until it is removed, with its file identity. The
// handle shares reading and writing but not deletion: while it is open nobody can rename the
// directory (which the user's own processes could otherwise do in the user's TMP, with the right
// to delete children that they have there) and put another one in its place.
HANDLE parent_directory = INVALID_HANDLE_VALUE;
std::u16string private_name;
HANDLE private_root = INVALID_HANDLE_VALUE;
BY_HANDLE_FILE_INFORMATION private_identity{};
// The directory below it that was asked for last, held open with its name relative to it: the
// files of one directory usually come one after another.
HANDLE held_directory = INVALID_HANDLE_VALUE;
std::u16string held_directory_name;

// What the launcher may do with a directory it holds, and what it lets others do meanwhile.
constexpr ACCESS_MASK directory_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE as_handle(DirectoryHandle directory) {
    return reinterpret_cast<HANDLE>(directory);
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

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool same_file(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& identity) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) && same_file(information, identity);
}

// Opens the directory `name` of `parent` anew, for deleting it, when it is still the directory
// of that identity; INVALID_HANDLE_VALUE otherwise.
HANDLE reopen_for_deletion(HANDLE parent, std::u16string_view name,
                           const BY_HANDLE_FILE_INFORMATION& identity) {
    const HANDLE directory = open_relative(parent, name, DELETE | FILE_READ_ATTRIBUTES, share_all,
                                           FILE_OPEN, FILE_DIRECTORY_FILE);
    if (directory == INVALID_HANDLE_VALUE || same_file(directory, identity))
        return directory;
    CloseHandle(directory);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// Deletes the directory `name` of `parent` when it is empty and still the directory of that
// identity. Each attempt opens it anew: Wine judges a directory's emptiness from the listing
// position of the handle it is asked through, so a handle asked twice would answer wrongly.
bool delete_directory_named(HANDLE parent, std::u16string_view name,
                            const BY_HANDLE_FILE_INFORMATION& identity) {
    const HANDLE directory = reopen_for_deletion(parent, name, identity);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    const bool marked = mark_for_deletion(directory);
    close_keeping_error(directory);
    return marked;
}

// The calling user's SID as text; empty when it can't be read.
std::u16string token_user_sid(HANDLE token) {
    // The largest SID there can be follows the structure.
    union {
        TOKEN_USER user;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size) ||
        !ConvertSidToStringSidW(buffer.user.User.Sid, &text)) {
        return {};
    }
    std::u16string sid = from_wide(text);
    LocalFree(text);
    return sid;
}

// The descriptor for this process's extraction directory: SYSTEM and Administrators, and the
// user unless the process is elevated (then it reaches the directory as an administrator). Null
// when the process's token can't be read; the caller frees it with LocalFree.
PSECURITY_DESCRIPTOR private_descriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated != 0;
    const std::u16string user_sid = elevated ? std::u16string() : token_user_sid(token);
    CloseHandle(token);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if ((!elevated && user_sid.empty()) || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                               as_wide(private_directory_sddl(elevated, user_sid)),
                                               SDDL_REVISION_1, &descriptor, nullptr)) {
        return nullptr;
    }
    return descriptor;
}

// The directory that holds `path` ("C:\Temp" of "C:\Temp\VOQSETUP2"; "C:\" and "\" keep their
// separator, and a name without one lies in the current directory).
std::u16string parent_of(const std::u16string& path) {
    const std::size_t cut = path.find_last_of(name_separators);
    if (cut == std::u16string::npos)
        return u".";
    const bool keeps_separator = cut == 0 || path[cut - 1] == u':';
    return path.substr(0, keeps_separator ? cut + 1 : cut);
}

// Opens the directory `relative` below the private directory one component at a time, each
// relative to the one before; with `create`, makes each one that is missing (inheriting the
// DACL). Anything but a plain directory ends it, as do "." and "..".
HANDLE open_private_path(std::u16string_view relative, bool create) {
    HANDLE current = private_root;  // borrowed, never closed here
    while (!relative.empty()) {
        const std::size_t cut = std::min(relative.find_first_of(name_separators), relative.size());
        const std::u16string_view component = relative.substr(0, cut);
        relative.remove_prefix(std::min(cut + 1, relative.size()));
        if (component.empty())
            continue;
        HANDLE next = INVALID_HANDLE_VALUE;
        if (component == u"." || component == u"..") {
            SetLastError(ERROR_INVALID_NAME);
        } else {
            next = open_relative(current, component, directory_access, share_all,
                                 create ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE);
            // What stands there is reported as the directory's creation would report it.
            if (next == INVALID_HANDLE_VALUE && GetLastError() == ERROR_DIRECTORY)
                SetLastError(ERROR_ALREADY_EXISTS);
            if (next != INVALID_HANDLE_VALUE && !is_plain_directory(next)) {
                CloseHandle(next);
                next = INVALID_HANDLE_VALUE;
                SetLastError(ERROR_ALREADY_EXISTS);
            }
        }
        if (current != private_root)
            close_keeping_error(current);
        current = next;
        if (current == INVALID_HANDLE_VALUE)
            return current;
    }
    if (current != private_root)
        return current;
    HANDLE copy = INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), private_root, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

void forget_held_directory() {
    if (held_directory != INVALID_HANDLE_VALUE)
        CloseHandle(held_directory);
    held_directory = INVALID_HANDLE_VALUE;
    held_directory_name.clear();
}

// open_private_path for the held directory: the handle stays open until another directory is
// asked for or the private directory is let go; the caller does not close it.
HANDLE held_private_path(std::u16string_view relative, bool create) {
    if (private_root == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (held_directory != INVALID_HANDLE_VALUE && relative == held_directory_name)
        return held_directory;
    const HANDLE handle = open_private_path(relative, create);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    forget_held_directory();
    held_directory = handle;
    held_directory_name = relative;
    return handle;
}

// Creates the private directory `name` in `parent` and opens it in one step, so that nothing
// else can take its place in between.
HANDLE create_root(HANDLE parent, const std::u16string& name) {
    const PSECURITY_DESCRIPTOR descriptor = private_descriptor();
    if (descriptor == nullptr)
        return INVALID_HANDLE_VALUE;
    const HANDLE root =
        open_relative(parent, name, directory_access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      FILE_CREATE, FILE_DIRECTORY_FILE, descriptor);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return root;
}

}  // namespace

NewDirectoryStatus create_private_directory(const std::u16string& path) {
    release_private_directory();
    // The directory above is taken as its path names it now, links included: it is the user's
    // choice of a temporary directory.
    const HANDLE parent = CreateFileW(as_wide(parent_of(path)), FILE_TRAVERSE, share_all, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE)
        return NewDirectoryStatus::failed;
    const std::u16string name = path.substr(path.find_last_of(name_separators) + 1);
    const HANDLE root = create_root(parent, name);
    if (root == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(root, &private_identity)) {
        const bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
        if (root != INVALID_HANDLE_VALUE)
            close_keeping_error(root);
        close_keeping_error(parent);
        return taken ? NewDirectoryStatus::name_taken : NewDirectoryStatus::failed;
    }
    parent_directory = parent;
    private_name = name;
    private_root = root;
    return NewDirectoryStatus::created;
}

bool private_subdirectory(std::u16string_view relative) {
    return held_private_path(relative, true) != INVALID_HANDLE_VALUE;
}

NewFile create_private_file(std::u16string_view relative) {
    NewFile result;
    const std::size_t last_separator = relative.find_last_of(name_separators);
    const std::size_t name_start =
        last_separator == std::u16string_view::npos ? 0 : last_separator + 1;
    const HANDLE directory = held_private_path(relative.substr(0, name_start), false);
    if (directory == INVALID_HANDLE_VALUE)
        return result;
    const std::u16string_view name = relative.substr(name_start);
    // FILE_CREATE fails on any entry of that name; a link of that name is not followed to create
    // its target either.
    const HANDLE file = open_relative(directory, name, GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE,
                                      FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        // A directory can't be opened for writing: that is the failure to report, as before.
        const HANDLE existing =
            exists ? open_relative(directory, name, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN, 0)
                   : INVALID_HANDLE_VALUE;
        const bool is_directory = existing != INVALID_HANDLE_VALUE && is_plain_directory(existing);
        if (existing != INVALID_HANDLE_VALUE)
            CloseHandle(existing);
        result.status = exists && !is_directory ? NewFileStatus::name_taken : NewFileStatus::failed;
        // A name that exists is no failure of the system's, and is reported without one; a
        // directory is reported as opening it for writing always failed.
        const bool taken = result.status == NewFileStatus::name_taken;
        errno = taken ? 0 : is_directory ? EACCES : errno_for_system_error(error);
        SetLastError(taken ? ERROR_SUCCESS : is_directory ? ERROR_ACCESS_DENIED : error);
        return result;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    result.file = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (result.file == nullptr) {
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseHandle(file);
        return result;
    }
    result.status = NewFileStatus::created;
    return result;
}

// ---- Deleting ----

DirectoryHandle private_directory() {
    return private_root == INVALID_HANDLE_VALUE ? no_directory
                                                : reinterpret_cast<DirectoryHandle>(private_root);
}

void release_held_subdirectory() {
    forget_held_directory();
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

DirectoryHandle open_directory_at(DirectoryHandle parent, const std::u16string& name) {
    const HANDLE directory = open_relative(as_handle(parent), name, directory_access, share_all,
                                           FILE_OPEN, FILE_DIRECTORY_FILE);
    if (directory == INVALID_HANDLE_VALUE)
        return no_directory;
    if (!is_plain_directory(directory)) {
        CloseHandle(directory);
        return no_directory;
    }
    return reinterpret_cast<DirectoryHandle>(directory);
}

void close_directory(DirectoryHandle directory) {
    if (directory != no_directory)
        CloseHandle(as_handle(directory));
}

bool delete_file_at(DirectoryHandle parent, const std::u16string& name) {
    const HANDLE file = open_relative(as_handle(parent), name, DELETE | FILE_READ_ATTRIBUTES,
                                      share_all, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool marked = mark_for_deletion(file);
    close_keeping_error(file);
    return marked;
}

bool remove_directory_at(DirectoryHandle parent, const std::u16string& name,
                         DirectoryHandle directory) {
    BY_HANDLE_FILE_INFORMATION identity;
    return GetFileInformationByHandle(as_handle(directory), &identity) &&
           delete_directory_named(as_handle(parent), name, identity);
}

bool remove_private_directory() {
    if (parent_directory == INVALID_HANDLE_VALUE)
        return true;
    forget_held_directory();
    // The handle held so far lets nobody delete the directory, the launcher included. It is let
    // go, and the directory is opened again through the directory above it and deleted only
    // when that is still the directory that was made.
    if (private_root != INVALID_HANDLE_VALUE)
        CloseHandle(private_root);
    private_root = INVALID_HANDLE_VALUE;
    return delete_directory_named(parent_directory, private_name, private_identity);
}

void release_private_directory() {
    forget_held_directory();
    for (HANDLE* handle : {&private_root, &parent_directory}) {
        if (*handle != INVALID_HANDLE_VALUE)
            CloseHandle(*handle);
        *handle = INVALID_HANDLE_VALUE;
    }
    private_name.clear();
}
