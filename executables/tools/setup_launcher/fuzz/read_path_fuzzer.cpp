// Feeds arbitrary launcher files to the launcher's whole read path, in the order of the launch
// sequence: the search for the chain's end (up to the end of the signed range), the sizing
// pre-pass, the progress window, then read_attachments until the chain ends, extracting into a
// private temporary directory. A fatal error abandons the one input instead of ending the process.
//
// When the chain reads to its end, every extracted file must hold exactly its attachment's data,
// nothing else may lie in the extraction directory, and every command must have been collected.
// After every input the temporary directory must be empty again: nothing was written beside the
// extraction directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "attachments.h"
#include "launcher_test_hooks.h"
#include "setup_launcher.h"
#include "string_table.h"
#include "wide_format.h"

// The launcher's streams are opened through these wrappers (the link wraps fopen64, fdopen, which
// opens the extracted files on their descriptors, and fclose), so that the fuzzer knows which are
// still open when an input is abandoned. A report ends the
// launcher with the file it was writing still open, and the process's exit closes it; here the
// input ends instead, and its streams are closed as that exit would.
extern "C" {
std::FILE* __real_fopen64(const char* path, const char* mode);
std::FILE* __real_fdopen(int fd, const char* mode);
int __real_fclose(std::FILE* file);
std::FILE* __wrap_fopen64(const char* path, const char* mode);
std::FILE* __wrap_fdopen(int fd, const char* mode);
int __wrap_fclose(std::FILE* file);
}

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

std::vector<std::FILE*>& open_streams() {
    static std::vector<std::FILE*> streams;
    return streams;
}

struct InputAbandoned {};

[[noreturn]] void abandon_input(const ErrorReport& report) {
    check(!report.message.empty() && !report.title.empty());
    throw InputAbandoned{};
}

std::string temp_directory;        // TMP and TMPDIR of the process
std::string extraction_directory;  // where the launcher's extraction directory comes to lie
std::string input_path;            // the launcher file of the current input
std::string base_directory;

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        }
        closedir(listing);
    }
    return names;
}

// Every non-directory below `directory`, as paths.
void collect_files(const std::string& directory, std::vector<std::string>& files) {
    for (const std::string& name : entries(directory)) {
        const std::string path = directory + "/" + name;
        struct stat status {};
        check(lstat(path.c_str(), &status) == 0);
        if (S_ISDIR(status.st_mode)) {
            collect_files(path, files);
        } else {
            files.push_back(path);
        }
    }
}

void remove_tree(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return;
    if (S_ISDIR(status.st_mode)) {
        for (const std::string& name : entries(path))
            remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void remove_base_directory() {
    remove_tree(base_directory);
}

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    bytes.clear();
    std::uint8_t buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return true;
}

// The launch sequence up to the end of the extraction. Returns the chain's end.
std::int64_t read_as_the_launcher_does(std::FILE* file, const Signature& signature) {
    std::int64_t chain_end = 0;
    extract_chain(file, signature, chain_end);
    close_progress_window();
    return chain_end;
}

// After a chain that read to its end: walks it once more and compares what was written.
void check_extraction(std::FILE* file, const std::uint8_t* data, std::int64_t chain_end,
                      const Signature& signature) {
    std::size_t extracted = 0;
    std::size_t commands = 0;
    std::vector<std::uint8_t> written;
    ChainReader reader{file, signature};
    for (std::int64_t end = chain_end; end > 0;) {
        const HeaderResult result = read_attachment_header(reader, end);
        check(result.status != HeaderStatus::error);
        if (result.status == HeaderStatus::end_of_chain)
            break;
        const AttachmentHeader& header = result.header;
        if ((header.fields.flags & flag_is_command) != 0)
            ++commands;
        if (is_extracted(header.fields)) {
            ++extracted;
            // The launcher's own path bytes: a name may carry bytes that are no UTF-8.
            check(read_whole_file(to_path_bytes(extraction_path(header.name)), written));
            check(written.size() == header.fields.data_size);
            check(std::equal(written.begin(), written.end(), data + header.data_start));
        }
        end = header.data_start;
    }
    check(commands == common_commands().size() + localized_commands().size());
    std::vector<std::string> files;
    collect_files(extraction_directory, files);
    check(files.size() == extracted);
}

}  // namespace

extern "C" std::FILE* __wrap_fopen64(const char* path, const char* mode) {
    std::FILE* file = __real_fopen64(path, mode);
    if (file != nullptr)
        open_streams().push_back(file);
    return file;
}

extern "C" std::FILE* __wrap_fdopen(int fd, const char* mode) {
    std::FILE* file = __real_fdopen(fd, mode);
    if (file != nullptr)
        open_streams().push_back(file);
    return file;
}

extern "C" int __wrap_fclose(std::FILE* file) {
    std::vector<std::FILE*>& streams = open_streams();
    streams.erase(std::remove(streams.begin(), streams.end(), file), streams.end());
    return __real_fclose(file);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* system_temp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(system_temp != nullptr && *system_temp != 0 ? system_temp : "/tmp") +
        "/read_path_fuzzer.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    base_directory = pattern;
    temp_directory = base_directory + "/tmp";
    extraction_directory = temp_directory + "/VOQSETUP2";
    input_path = base_directory + "/setup";
    if (mkdir(temp_directory.c_str(), 0700) != 0)
        std::abort();
    std::atexit(remove_base_directory);
    // The extraction directory goes where TMP points; TMPDIR would be the fallback.
    setenv("TMP", temp_directory.c_str(), 1);
    setenv("TMPDIR", temp_directory.c_str(), 1);
    init_string_table();
    set_fatal_error_handler(abandon_input);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Signature signature = attachment_signature();
    {
        std::FILE* input = std::fopen(input_path.c_str(), "wb");
        check(input != nullptr && std::fwrite(data, 1, size, input) == size);
        check(std::fclose(input) == 0);
    }
    reset_extraction_root_for_tests();
    common_commands().clear();
    localized_commands().clear();

    std::FILE* file = std::fopen(input_path.c_str(), "rb");
    check(file != nullptr);
    try {
        const std::int64_t chain_end = read_as_the_launcher_does(file, signature);
        // Every stream that the reading opened has been closed again.
        check(open_streams().size() == 1);
        if (chain_end > 0)
            check_extraction(file, data, chain_end, signature);
    } catch (const InputAbandoned&) {
        close_progress_window();
    }
    // What the abandoned input left open, the launcher's exit would have closed.
    while (!open_streams().empty())
        std::fclose(open_streams().back());

    // The extraction directory was the only thing written, and it always gets the same name.
    remove_tree(extraction_directory);
    check(entries(temp_directory).empty());
    return 0;
}
