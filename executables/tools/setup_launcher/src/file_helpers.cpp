#include "file_helpers.h"

#include <algorithm>
#include <string>

#include "error_report.h"
#include "platform.h"
#include "setup_payload/extraction_directory.h"
#include "setup_payload/file_names.h"
#include "setup_payload/payload_format.h"
#include "wide_format.h"

std::u16string extraction_root;

namespace {

// A file held open by another process usually lets go within a second.
constexpr int deletion_attempts = 10;
constexpr unsigned deletion_retry_ms = 100;

bool ends_in_separator(std::u16string_view path) {
    return !path.empty() && is_separator(path.back());
}

// Windows takes "/" and "\" alike. Elsewhere "\" is an ordinary character of a file name, so
// there it is written as "/" both in the directories created and in the paths handed out.
std::u16string with_system_separators(std::u16string name) {
    if (native_separator() != u'\\')
        std::replace(name.begin(), name.end(), u'\\', u'/');
    return name;
}

// TMP when it names something that exists, else the system's temporary path, else the root of
// the current drive, else the current directory.
std::u16string base_directory(const std::u16string& temp_path) {
    std::u16string tmp;
    if (environment_variable("TMP", tmp) && path_exists(tmp))
        return tmp;
    if (path_exists(temp_path))
        return temp_path;
    const std::u16string root(1, native_separator());
    if (path_exists(root))
        return root;
    return u".";
}

void create_extraction_root() {
    const TempPath temp = system_temp_path();
    if (temp.length_failed)
        FATAL_ERROR("error_no_temp_path");
    if (temp.fetch_failed)
        FATAL_ERROR("error_no_temp_path");

    // A name that turns out to be taken only when the directory is made is passed over like any
    // other taken name: a link whose target is gone (which some systems hide from every listing)
    // or an entry that appeared in between. A name whose status can't be read ends the search
    // (every further name in that directory would be as unreadable), and so does any failure.
    const std::u16string base = base_directory(temp.path);
    std::uint32_t number = first_extraction_directory_number;
    DirectoryCandidate candidate = unique_directory_name(base, number);
    NewDirectoryStatus status = NewDirectoryStatus::failed;
    while (candidate.readable && !candidate.path.empty()) {
        status = create_private_directory(candidate.path);
        if (status != NewDirectoryStatus::name_taken)
            break;
        candidate = unique_directory_name(base, ++number);
    }
    if (status != NewDirectoryStatus::created)
        FATAL_ERROR("error_create_temp_dir", candidate.path.c_str());
    extraction_root = candidate.path;
    if (extraction_root.back() != native_separator())
        extraction_root += native_separator();
}

// Reports the first directory of `name` (with system separators) that can't be made below the
// extraction directory. An empty component (a doubled separator) is passed over.
void report_failed_directory(std::u16string_view name) {
    std::u16string path_so_far = extraction_root;
    for (std::size_t cut = name.find_first_of(name_separators); cut != std::u16string_view::npos;
         cut = name.find_first_of(name_separators)) {
        path_so_far.append(name.substr(0, cut));
        path_so_far += native_separator();
        const std::u16string_view relative =
            std::u16string_view(path_so_far).substr(extraction_root.size());
        if (!private_subdirectory(relative))
            FATAL_ERROR("error_create_temp_dir", path_so_far.c_str());
        name.remove_prefix(cut + 1);
    }
}

// An open directory of the cleanup, closed when it goes out of scope.
struct OpenDirectory {
    DirectoryHandle handle;
    explicit OpenDirectory(DirectoryHandle opened) : handle(opened) {}
    OpenDirectory(const OpenDirectory&) = delete;
    OpenDirectory& operator=(const OpenDirectory&) = delete;
    ~OpenDirectory() { close_directory(handle); }
};

// Deletion waits out other processes that still hold an entry open (a virus scanner, an
// installer that has not quite ended); an entry that stays is left behind without a word.
template <typename Operation>
void delete_with_retries(Operation operation) {
    for (int attempt = 0; attempt < deletion_attempts; ++attempt) {
        if (operation())
            return;
        sleep_milliseconds(deletion_retry_ms);
    }
}

}  // namespace

// ---- Own file and path ----

std::int64_t seek_file(std::FILE* file, std::int64_t offset, int origin, bool tolerant) {
    if (!seek_stream(file, offset, origin)) {
        if (!tolerant)
            FATAL_ERROR("error_reading", own_file_name().c_str());
        return -1;
    }
    return origin == SEEK_SET ? offset : tell_file(file);
}

std::int64_t tell_file(std::FILE* file) {
    const std::int64_t position = tell_stream(file);
    if (position == -1)
        FATAL_ERROR("error_reading", own_file_name().c_str());
    return position;
}

bool file_exists(const std::u16string& path) {
    return can_open_for_reading(path);
}

std::u16string own_path() {
    return executable_path();
}

std::u16string own_file_name() {
    const PathParts parts = split_path(own_path());
    return parts.name + parts.extension;
}

std::u16string own_directory() {
    const PathParts parts = split_path(own_path());
    return parts.drive + parts.directory;
}

PathParts split_path(std::u16string_view path) {
    PathParts parts;
    if (path.size() >= 2 && path[1] == u':') {
        parts.drive = path.substr(0, 2);
        path.remove_prefix(2);
    }
    const std::size_t last_separator = path.find_last_of(name_separators);
    if (last_separator != std::u16string_view::npos) {
        parts.directory = path.substr(0, last_separator + 1);
        path.remove_prefix(last_separator + 1);
    }
    const std::size_t dot = path.rfind(u'.');
    if (dot != std::u16string_view::npos) {
        parts.extension = path.substr(dot);
        path = path.substr(0, dot);
    }
    parts.name = path;
    return parts;
}

// ---- The extraction directory ----

std::u16string extraction_path(const std::u16string& relative_name) {
    if (extraction_root.empty())
        create_extraction_root();

    // None of the name's directories may be anything but a directory that the launcher made.
    // They are made in one go; only when that fails are they looked at one by one, to name the
    // first that can't be made.
    const std::u16string name = with_system_separators(relative_name);
    const std::size_t last_separator = name.find_last_of(name_separators);
    if (last_separator != std::u16string::npos &&
        !private_subdirectory(std::u16string_view(name).substr(0, last_separator + 1))) {
        report_failed_directory(name);
    }
    return extraction_root + name;
}

NewFile create_extracted_file(const std::u16string& relative_name) {
    return create_private_file(with_system_separators(relative_name));
}

std::u16string private_directory_sddl(bool elevated, std::u16string_view user_sid) {
    // D:P a protected DACL, which inherits nothing from the directories above; OICI each entry
    // is inherited by every file and directory made inside; FA full control; SY SYSTEM, BA the
    // Administrators group.
    std::u16string sddl = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (!elevated) {
        sddl += u"(A;OICI;FA;;;";
        sddl += user_sid;
        sddl += u")";
    }
    return sddl;
}

DirectoryCandidate unique_directory_name(const std::u16string& base, std::uint32_t& number) {
    std::u16string prefix = base;
    if (!ends_in_separator(prefix))
        prefix += native_separator();
    for (; number <= last_extraction_directory_number; ++number) {
        std::u16string candidate = prefix + extraction_directory_name(number);
        const NameStatus status = name_status(candidate);
        if (status != NameStatus::taken)
            return {std::move(candidate), status == NameStatus::free};
    }
    return {};
}

bool directory_exists(const std::u16string& path) {
    // "\" followed by "/" counts as one separator for the system.
    std::u16string prefix = path;
    if (!prefix.empty() && prefix.back() != u'/')
        prefix += u'/';
    return is_directory(prefix);
}

void delete_directory_tree(DirectoryHandle directory) {
    for (const DirectoryEntry& entry : list_directory_at(directory)) {
        // Only a plain directory is entered. One with any further attribute (read-only, hidden,
        // a reparse point), or one that can't be opened as such, is handled as a file: its
        // deletion fails and it stays as it is.
        const OpenDirectory subdirectory{entry.attributes == attribute_directory
                                             ? open_directory_at(directory, entry.name, 0)
                                             : no_directory};
        DirectoryIdentity identity;
        if (subdirectory.handle == no_directory ||
            !directory_identity(subdirectory.handle, identity)) {
            delete_with_retries([&] { return delete_file_at(directory, entry.name); });
            continue;
        }
        delete_directory_tree(subdirectory.handle);
        delete_with_retries([&] { return remove_directory_at(directory, entry.name, identity); });
    }
}

void delete_extraction_dir() {
    extraction_path(u"");
    release_held_subdirectory();
    // Everything below goes through the directory held since its creation, never by a path that
    // someone else could have pointed elsewhere in the meantime.
    delete_directory_tree(private_directory());
    delete_with_retries(remove_private_directory);
    release_private_directory();
}

// ---- Running commands ----

void run_command(const std::u16string& program, const std::u16string& parameters,
                 bool run_in_extraction_dir, bool quiet) {
    const std::u16string directory = run_in_extraction_dir ? extraction_path(u"") : own_directory();
    const StartedProcess process =
        shell_open(program, parameters, directory, run_in_extraction_dir, quiet);
    if (!process.started) {
        if (quiet)
            return;
        FATAL_ERROR("error_execute", program.c_str(), parameters.c_str());
    }
    // A document opened in a program that was already running brings no process of its own.
    if (!process.has_process)
        return;
    wait_for_process(process);
    if (!close_process(process) && !quiet)
        FATAL_ERROR("error_close_process", program.c_str());
}

std::vector<std::u16string> split_command_line(std::u16string_view line) {
    std::vector<std::u16string> arguments;
    std::u16string argument;
    bool in_argument = false;  // "" makes an empty argument, so emptiness doesn't tell
    bool quoted = false;
    std::size_t i = 0;
    while (i < line.size()) {
        const char16_t c = line[i];
        if ((c == u' ' || c == u'\t') && !quoted) {
            if (in_argument)
                arguments.push_back(std::move(argument));
            argument.clear();
            in_argument = false;
            ++i;
            continue;
        }
        in_argument = true;
        if (c == u'\\') {
            const std::size_t end = std::min(line.find_first_not_of(u'\\', i), line.size());
            const std::size_t count = end - i;
            i = end;
            if (i < line.size() && line[i] == u'"') {
                argument.append(count / 2, u'\\');
                if (count % 2 == 1) {
                    argument += u'"';
                    ++i;
                }
            } else {
                argument.append(count, u'\\');
            }
        } else if (c == u'"') {
            // Counts the run of quotes: the quote that opens a part counts one, every third
            // quote is a literal one and leaves the quoted part.
            int quotes = quoted ? 2 : 1;
            for (++i; i < line.size() && line[i] == u'"'; ++i) {
                if (++quotes == 3) {
                    argument += u'"';
                    quotes = 0;
                }
            }
            quoted = quotes == 1;
        } else {
            argument += c;
            ++i;
        }
    }
    if (in_argument)
        arguments.push_back(std::move(argument));
    return arguments;
}
