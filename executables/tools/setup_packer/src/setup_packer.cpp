// setup_packer's command line: parses it with CLI11 and hands plain data to the packer library.
// Exit codes: 0 success, 1 failure (one message on stderr), 2 usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "packer.h"
#include "packer_io.h"

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Payloads smaller than this pass too quickly for a progress bar to help.
constexpr std::uint64_t progress_threshold = 64ull << 20;

const char* const manifest_help = R"(Manifest (--manifest FILE.json):
  {"attachments": [
     {"file": "payload/update.msp", "name": "update.msp"},
     {"command": "msiexec.exe", "params": "/p update.msp", "in_extraction_dir": true,
      "quiet": false, "lcid": "0x0407"}
  ]}
  A "file" entry takes an optional "name" (default: the file's name); relative paths resolve
  against the manifest's directory. A "command" entry takes the optional "params" (text),
  "in_extraction_dir" and "quiet" (true/false) and "lcid" ("0x0407" or 1031). Entries go in
  at the position of --manifest, in their order.

Attachments are listed in the order the launcher processes them: files are extracted first, in
this order; then the commands without language run in this order; then those of the chosen
language. Give a parameter text beginning with '-' as --params=TEXT.)";

void print_error(const std::string& message) {
    write_text(stderr, "setup_packer: " + message + "\n");
}

int usage_error(const std::string& message) {
    print_error(message);
    write_text(stderr, "Run with --help for more information.\n");
    return exit_usage;
}

// A bar on stderr while large payloads move, redrawn only when its text changes.
class TerminalProgress {
public:
    TerminalProgress() : enabled_(is_terminal(stderr)) {}
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;
    ~TerminalProgress() {
        if (shown_)
            write_text(stderr, "\n");
    }

    ProgressCallback callback() {
        if (!enabled_)
            return {};
        return [this](std::uint64_t done, std::uint64_t total) { update(done, total); };
    }

private:
    void update(std::uint64_t done, std::uint64_t total) {
        if (total < progress_threshold)
            return;
        std::string bar = progress_bar(done, total, 40);
        if (bar == last_)
            return;
        write_text(stderr, "\r" + bar);
        last_ = std::move(bar);
        shown_ = true;
    }

    bool enabled_;
    bool shown_ = false;
    std::string last_;
};

// The options of `build` that describe attachments, each with its values in command-line order.
struct BuildOptions {
    std::string launcher;
    std::string output;
    bool force = false;
    std::vector<std::string> files;
    std::vector<std::string> commands;
    std::vector<std::string> params;
    std::vector<std::string> lcids;
    std::vector<std::string> manifests;
    CLI::Option* file = nullptr;
    CLI::Option* command = nullptr;
    CLI::Option* params_option = nullptr;
    CLI::Option* lcid = nullptr;
    CLI::Option* in_extraction_dir = nullptr;
    CLI::Option* quiet = nullptr;
    CLI::Option* manifest = nullptr;
};

CLI::Option* repeatable(CLI::Option* option) {
    return option->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// Turns the options, in the order they were given, into the attachment list. The modifiers of a
// command follow that command. A failure is a usage error (with exit code 2) unless the problem
// is in a manifest file (1).
int collect_items(const CLI::App& build, const BuildOptions& options,
                  std::vector<PackItem>& items) {
    std::size_t next_file = 0, next_command = 0, next_params = 0, next_lcid = 0;
    std::size_t next_manifest = 0;
    // The index in items of the command that modifiers apply to, or none.
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t command = none;
    bool command_has_params = false, command_has_lcid = false;
    for (const CLI::Option* option : build.parse_order()) {
        if (option == options.file) {
            PackItem item;
            const Status status = parse_file_argument(options.files.at(next_file++), item);
            if (!status.ok())
                return usage_error(status.message());
            items.push_back(std::move(item));
            command = none;
        } else if (option == options.command) {
            const std::string& program = options.commands.at(next_command++);
            std::optional<std::u16string> name = utf8_to_utf16(program);
            if (!name)
                return usage_error("--command " + program + ": not valid UTF-8");
            PackItem item;
            item.kind = PackItem::Kind::command;
            item.name = std::move(*name);
            item.origin = "--command " + program;
            items.push_back(std::move(item));
            command = items.size() - 1;
            command_has_params = command_has_lcid = false;
        } else if (option == options.manifest) {
            ManifestResult manifest =
                load_manifest(path_from_utf8(options.manifests.at(next_manifest++)));
            if (!manifest.status.ok()) {
                print_error(manifest.status.message());
                return exit_failure;
            }
            std::move(manifest.items.begin(), manifest.items.end(), std::back_inserter(items));
            command = none;
        } else if (option == options.params_option || option == options.lcid ||
                   option == options.in_extraction_dir || option == options.quiet) {
            const std::string name = option->get_name();
            if (command == none)
                return usage_error(name + " must follow the --command it belongs to");
            PackItem& item = items[command];
            if (option == options.params_option) {
                const std::string& text = options.params.at(next_params++);
                if (command_has_params) {
                    return usage_error(item.origin + ": --params is given twice");
                }
                std::optional<std::u16string> parameters = utf8_to_utf16(text);
                if (!parameters)
                    return usage_error("--params " + text + ": not valid UTF-8");
                item.parameters = std::move(*parameters);
                command_has_params = true;
            } else if (option == options.lcid) {
                const std::string& text = options.lcids.at(next_lcid++);
                if (command_has_lcid)
                    return usage_error(item.origin + ": --lcid is given twice");
                item.lcid = parse_lcid(text);
                if (!item.lcid) {
                    return usage_error("--lcid " + text +
                                       ": not a language identifier in 0..0xFFFF (e.g. 0x0407)");
                }
                command_has_lcid = true;
            } else if (option == options.in_extraction_dir) {
                item.in_extraction_dir = true;
            } else {
                item.quiet = true;
            }
        }
    }
    return 0;
}

void add_build(CLI::App& app, BuildOptions& options) {
    CLI::App* build = app.add_subcommand(
        "build", "Append attachments to a launcher executable and write the result to a new file");
    build->add_option("--launcher", options.launcher, "The launcher executable (never modified)")
        ->required()
        ->type_name("EXE");
    build->add_option("--output", options.output, "The launcher file to write")
        ->required()
        ->type_name("FILE");
    build->add_flag("--force", options.force, "Replace an existing output file");
    options.file = repeatable(build->add_option(
        "--file", options.files,
        "A file to extract; NAME is its path in the extraction directory (default: the file's "
        "name; NAME can't hold '='). Refused like the launcher refuses them: device names such "
        "as CON, NUL, COM1 or LPT1 (with any extension) as a component, components ending in a "
        "dot or a space, ':', control characters and <>\"|?*. NAME has at most " +
            std::to_string(max_file_name_units) + " UTF-16 code units (" +
            std::to_string(max_directory_name_units) +
            " up to its last separator): what fits Windows' 260-unit paths below a typical "
            "extraction directory, C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\"
            "VOQSETUP99\\"));
    options.file->type_name("PATH[=NAME]");
    options.command = repeatable(
        build->add_option("--command", options.commands, "A program to open after extraction"));
    options.command->type_name("PROGRAM");
    options.params_option = repeatable(build->add_option(
        "--params", options.params, "The parameter line of the preceding --command"));
    options.params_option->type_name("TEXT");
    options.in_extraction_dir =
        build->add_flag("--in-extraction-dir")
            ->description("The preceding --command runs in the extraction directory");
    options.quiet = build->add_flag("--quiet")->description(
        "The preceding --command shows no error if it can't start");
    options.lcid = repeatable(build->add_option(
        "--lcid", options.lcids,
        "Binds the preceding --command to a language (0x0407 or 1031); the launcher asks the "
        "user when there are several"));
    options.lcid->type_name("LCID");
    options.manifest = repeatable(build->add_option(
        "--manifest", options.manifests, "A JSON file listing attachments (format below)"));
    options.manifest->type_name("FILE.json");
    build->footer(manifest_help);
}

int run_build(const CLI::App& build, const BuildOptions& options) {
    BuildRequest request;
    if (const int code = collect_items(build, options, request.items); code != 0)
        return code;
    request.launcher = path_from_utf8(options.launcher);
    request.output = path_from_utf8(options.output);
    request.force = options.force;
    TerminalProgress progress;
    request.progress = progress.callback();
    const Status status = build_launcher(request);
    if (!status.ok()) {
        print_error(status.message());
        return exit_failure;
    }
    return 0;
}

int run_list(const std::string& file, bool json) {
    const ChainListing listing = list_attachments(path_from_utf8(file));
    if (json) {
        write_text(stdout, format_json(listing.attachments));
    } else if (!listing.attachments.empty()) {
        write_text(stdout, format_table(listing.attachments));
    } else if (listing.status.ok()) {
        write_text(stdout, file + ": no attachments\n");
    }
    if (!listing.status.ok()) {
        print_error(listing.status.message());
        return exit_failure;
    }
    return 0;
}

int run_verify(const std::string& file) {
    TerminalProgress progress;
    const VerifyReport report = verify_launcher(path_from_utf8(file), progress.callback());
    if (!report.status.ok()) {
        print_error(report.status.message());
        return exit_failure;
    }
    write_text(stdout, file + ": " + report.summary + "\n");
    for (const std::string& note : report.outside_signed_range)
        write_text(stdout, file + ": ignored: " + note + "\n");
    return 0;
}

int run_extract(const std::string& file, const std::string& directory) {
    TerminalProgress progress;
    const ExtractReport report =
        extract_launcher(path_from_utf8(file), path_from_utf8(directory), progress.callback());
    std::string written;
    for (const std::filesystem::path& path : report.written)
        written += path_to_utf8(path) + "\n";
    write_text(stdout, written);
    if (!report.status.ok()) {
        print_error(report.status.message());
        return exit_failure;
    }
    if (report.written.empty())
        write_text(stdout, file + ": no files to extract\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "Builds setup launcher files (a launcher executable with its attachments appended) and "
        "lists, verifies and extracts their attachments.",
        "setup_packer");
    app.set_version_flag("--version", "setup_packer " SETUP_PACKER_VERSION);
    app.require_subcommand(1);

    BuildOptions build_options;
    add_build(app, build_options);
    CLI::App* build = app.get_subcommand("build");

    std::string list_file;
    bool list_json = false;
    CLI::App* list =
        app.add_subcommand("list", "Show the attachments in the order the launcher processes them");
    list->add_option("FILE", list_file, "A launcher file")->required()->type_name("");
    list->add_flag("--json", list_json, "Print a JSON array of objects instead of a table");

    std::string verify_file;
    CLI::App* verify = app.add_subcommand(
        "verify", "Read every attachment as the launcher will and check every checksum");
    verify->add_option("FILE", verify_file, "A launcher file")->required()->type_name("");

    std::string extract_file, extract_directory;
    CLI::App* extract = app.add_subcommand(
        "extract", "Write the files of a launcher file into a directory, running nothing");
    extract->add_option("FILE", extract_file, "A launcher file")->required()->type_name("");
    extract
        ->add_option("-C,--directory", extract_directory,
                     "Where to write the files (created when missing; existing files are "
                     "never replaced)")
        ->required()
        ->type_name("DIR");

    std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        print_error(e.what());
        write_text(stderr, "Run with --help for more information.\n");
        return exit_usage;
    }

    if (build->parsed())
        return run_build(*build, build_options);
    if (list->parsed())
        return run_list(list_file, list_json);
    if (verify->parsed())
        return run_verify(verify_file);
    if (extract->parsed())
        return run_extract(extract_file, extract_directory);
    return exit_usage;
}
