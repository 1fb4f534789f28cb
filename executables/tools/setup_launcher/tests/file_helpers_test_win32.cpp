// Test program: performs one scenario of the file helpers, chosen by the first argument, and
// prints what it sees as "key: value" lines for file_helpers_test.sh. Failures go through the
// real error box.
//   file_helpers_test.exe own
//   file_helpers_test.exe numbering          (the extraction directory, asked for twice)
//   file_helpers_test.exe nested             (a/b\c.txt)
//   file_helpers_test.exe blocked            (a regular file where a directory is needed)
//   file_helpers_test.exe stuck              (deleting a tree that holds what can't be deleted)
//   file_helpers_test.exe run PROGRAM PARAMETERS extraction|own
//   file_helpers_test.exe missing PROGRAM PARAMETERS quiet|loud
#include <windows.h>

#include <cstdio>
#include <string>

#include "file_helpers.h"
#include "string_table.h"
#include "wide_format.h"

namespace {

std::u16string from_wide(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

const wchar_t* as_wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Straight to the handle: the runtime's text mode would turn "\n" into "\r\n".
void print(const char* key, const std::u16string& value) {
    const std::string line = std::string(key) + ": " + to_utf8(value) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

void print_number(const char* key, unsigned long long value) {
    print(key, widen(std::to_string(value).c_str()));
}

void write_file(const std::u16string& path) {
    std::FILE* file = _wfopen(as_wide(path), L"wb");
    std::fputs("data", file);
    std::fclose(file);
}

void own() {
    print("own_path", own_path());
    print("own_file_name", own_file_name());
    print("own_directory", own_directory());
    print_number("file_exists_own_path", file_exists(own_path()));
    print_number("file_exists_own_directory", file_exists(own_directory()));
}

void numbering() {
    const std::u16string root = extraction_path(u"");
    print("root", root);
    print("again", extraction_path(u""));
}

void nested() {
    print("root", extraction_path(u""));
    print("path", extraction_path(u"a/b\\c.txt"));
}

void blocked() {
    const std::u16string root = extraction_path(u"");
    print("root", root);
    write_file(root + u"a");
    extraction_path(u"a\\b/c.txt");
    print("returned", u"1");
}

// A read-only file stays and keeps its directory; a directory with a further attribute bit is
// handled as a file and stays with what it holds; everything else goes.
void stuck() {
    const std::u16string root = extraction_path(u"");
    print("root", root);
    const std::u16string read_only = extraction_path(u"stuck\\read_only.txt");
    write_file(read_only);
    SetFileAttributesW(as_wide(read_only), FILE_ATTRIBUTE_READONLY);
    write_file(extraction_path(u"stuck\\plain.txt"));
    write_file(extraction_path(u"gone\\deeper\\file.txt"));
    const std::u16string hidden_file = extraction_path(u"hidden\\inner.txt");
    write_file(hidden_file);
    SetFileAttributesW(as_wide(root + u"hidden"), FILE_ATTRIBUTE_HIDDEN);
    print_number("read_only_attributes", GetFileAttributesW(as_wide(read_only)));
    print_number("hidden_attributes", GetFileAttributesW(as_wide(root + u"hidden")));

    const ULONGLONG start = GetTickCount64();
    delete_extraction_dir();
    print_number("elapsed_ms", GetTickCount64() - start);
}

void run(const std::u16string& program, const std::u16string& parameters, bool in_extraction,
         bool quiet) {
    run_command(program, parameters, in_extraction, quiet);
    wchar_t log_name[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"RECORD_COMMAND_LOG", log_name, MAX_PATH) != 0) {
        print_number("log_on_return", file_exists(from_wide(log_name)));
    }
    if (in_extraction)
        print("root", extraction_path(u""));
    print("own_directory", own_directory());
    print("returned", u"1");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    init_string_table();
    const std::u16string scenario = argc > 1 ? from_wide(argv[1]) : u"";
    if (scenario == u"own") {
        own();
    } else if (scenario == u"numbering") {
        numbering();
    } else if (scenario == u"nested") {
        nested();
    } else if (scenario == u"blocked") {
        blocked();
    } else if (scenario == u"stuck") {
        stuck();
    } else if ((scenario == u"run" || scenario == u"missing") && argc == 5) {
        const std::u16string mode = from_wide(argv[4]);
        run(from_wide(argv[2]), from_wide(argv[3]), mode == u"extraction", mode == u"quiet");
    } else {
        print("unknown_scenario", scenario);
        return 2;
    }
    return 0;
}
