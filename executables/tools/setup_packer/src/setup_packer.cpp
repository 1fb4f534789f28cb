// setup_packer's command line: parses it with CLI11 and hands plain data to the packer library.
// Exit codes: 0 success, 1 failure (one message on stderr), 2 usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "packer.h"
#include "packer_install.h"
#include "packer_io.h"

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Payloads smaller than this pass too quickly for a progress bar to help.
constexpr std::uint64_t progress_threshold = 64ull << 20;

// The details of `build`, below its options.
const char* const order_help =
    R"(Attachments are given in the order the launcher processes them: it extracts the files in
this order, then runs the commands without a language in this order, then those of the language
the user chooses (it asks only when there are several). Give a parameter text beginning with '-'
as --params=TEXT.

--file PATH=NAME: NAME is the file's path in the extraction directory (a slash or a backslash
separates directories; it can't hold '='). --directory DIR packs every regular file below DIR
under its path below DIR (with DIR=NAME, below NAME/), in the order of those paths; symbolic
links to files count as the files, other links, devices and pipes are refused, and empty
directories are not kept. Names are refused as the launcher refuses them: leaving the
extraction directory ("..", absolute, drive, UNC), empty or "." components, device names such
as CON, NUL, COM1 or LPT1 (with any extension) as a component, components ending in a dot or a
space, control characters, the characters : < > | ? * and the double quote, and a name that
Windows takes for an earlier one (Windows ignores case, also of letters outside A to Z).
)";

const char* const manifest_help = R"(Manifest (--manifest FILE.json):
  {"attachments": [
     {"file": "payload/update.msp", "name": "update.msp"},
     {"command": "msiexec.exe", "params": "/p update.msp", "in_extraction_dir": true,
      "quiet": false, "lcid": "0x0407"}
  ]}
  A "file" entry takes an optional "name" (default: the file's name); relative paths resolve
  against the manifest's directory. A "command" entry takes the optional "params" (text),
  "in_extraction_dir" and "quiet" (true/false) and "lcid" ("0x0407", "1031" or 1031). Entries go
  in at the position of --manifest, in their order. A key given twice in one entry, an unknown
  key and a number out of range are errors. Beside "attachments", the top level may hold "icon"
  (a .ico file, relative to the manifest's directory) and "version_info" (an object of the
  --version-info keys with their texts).

--output must be a regular file or not exist; an existing file is replaced only with --force.
--launcher must be the setup launcher's executable as built: a Windows GUI program for i386 or
AMD64, without attachments and not signed (sign the packed file instead), recognised by its
dialog templates 129 and 130 and the assembly identity SetupLauncher in its manifest, which
branding does not change; --allow-foreign-launcher takes another Windows GUI program. Without
--launcher, the launcher installed with setup_packer is taken (--arch i686, the default, or
x86-64), looked for relative to this program: ../share/setup_launcher/setup_launcher-i686.exe
(or -x86_64.exe; the layout of cmake --install, the tarball and the Debian package), then
setup_launcher-i686.exe beside it (the Windows zip). A failed or interrupted build leaves
nothing behind.
)";

const char* const branding_help =
    R"(Branding: --icon FILE.ico replaces the launcher's icon (the one Explorer shows for the setup
file) with every image of the file, PNG or bitmap, at most 64 images and 1 MiB. --version-info
KEY=VALUE sets one version detail (Explorer's properties and tooltip): ProductName,
CompanyName, FileDescription, LegalCopyright, ProductVersion, FileVersion, OriginalFilename,
InternalName, Comments (at most 1024 UTF-16 code units; an empty VALUE removes the detail), or
the numeric FileVersionNumber and ProductVersionNumber (a.b.c.d, each part up to 65535). A
numeric version not given follows FileVersion or ProductVersion when that begins with a number;
the other details keep the launcher's own. Everything else in the image stays as it was.
)";

std::string build_help() {
    return std::string(order_help) + "\nA name has at most " + std::to_string(max_file_name_units) +
           " UTF-16 code units (" + std::to_string(max_directory_name_units) +
           " up to its last separator): what fits\nWindows' 260-unit paths below a typical "
           "extraction directory,\nC:\\Users\\<20 characters>\\AppData\\Local\\Temp\\"
           "VOQSETUP99\\.\n\n--lcid: " +
           lcid_forms + ".\n\n" + manifest_help + "\n" + branding_help;
}

const char* const verify_help =
    R"help(Prints "FILE: OK: N attachments, M bytes of file data", the launcher the file carries ("the
i686 launcher (PE32)" or "the x86-64 launcher (PE32+)", or "an x86-64 Windows program that is no
setup launcher (PE32+)" for another image), and the certificate table when the PE header names
one ("its signature is not checked": verify reads what the launcher reads, it does not check
the signature), or "FILE: no attachments", and exits 0. Lines follow with the image's version
details and icon, when it has them ("FILE: file version 2.1.0.0, product version 2.1.0.0",
"FILE: ProductName 'Acme'", "FILE: icon: 16x16 32-bit, 256x256 32-bit PNG"). Exits 1 at the
first attachment the launcher would stop at or refuse (a damaged header, a corrupted file, a
name that can't be extracted on Windows) and when bytes follow the last attachment that are no
certificate table: a file cut short, or data appended after packing.

--json prints {"format": 1, "ok", "launcher": "i686", "x86-64" or null, "attachments",
"file_bytes", "certificate_table": {"offset", "size"} or null, "ignored": [...], "image",
"error": null or the message} instead; "image" is null or {"architecture", "format",
"setup_launcher", "version_info": {"file_version", "product_version", "strings"} or null,
"icon": [{"width", "height", "bit_count", "png", "bytes"}, ...] or null}.
)help";

const char* const list_help =
    R"help(Prints a table of the attachments in processing order, then "FILE: the i686 launcher (PE32)"
or "FILE: the x86-64 launcher (PE32+)": the launcher image the file carries (or "an x86-64
Windows program that is no setup launcher (PE32+)"), then its version details and icon, as
verify does.

--json prints {"format": 1, "launcher": "i686", "x86-64" or null, "attachments": [{"index",
"kind", "name", "parameters", "language", "flags", "flags_value", "data_size", "checksum"},
...], "image" (as verify --json), "error": null or the message}. "format" changes only when a
field changes its meaning or goes away.
)help";

void print_error(const std::string& message) {
    write_text(stderr, "setup_packer: " + message + "\n");
}

int usage_error(const std::string& message) {
    print_error(message);
    write_text(stderr, "Run with --help for more information.\n");
    return exit_usage;
}

// A bar on stderr while large payloads move, redrawn only when its text changes: only on a
// terminal and without --no-progress.
class TerminalProgress {
public:
    explicit TerminalProgress(bool wanted) : enabled_(wanted && is_terminal(stderr)) {}
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;
    ~TerminalProgress() { finish(); }

    ProgressCallback callback() {
        if (!enabled_)
            return {};
        return [this](std::uint64_t done, std::uint64_t total) { update(done, total); };
    }

    // Ends the bar's line, so that whatever is written next starts a line of its own.
    void finish() {
        if (shown_)
            write_text(stderr, "\n");
        shown_ = false;
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
    std::string architecture;
    std::string icon;
    std::vector<std::string> version_info;
    bool foreign_launcher = false;
    bool force = false;
    bool no_progress = false;
    std::vector<std::string> files;
    std::vector<std::string> directories;
    std::vector<std::string> commands;
    std::vector<std::string> params;
    std::vector<std::string> lcids;
    std::vector<std::string> manifests;
    CLI::Option* file = nullptr;
    CLI::Option* directory = nullptr;
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
class ItemCollector {
public:
    ItemCollector(const BuildOptions& options, std::vector<PackItem>& items, Branding& branding)
        : options_(options), items_(items), branding_(branding) {}

    int add(const CLI::Option* option) {
        if (option == options_.file)
            return add_file(options_.files.at(next_file_++));
        if (option == options_.directory)
            return add_directory(options_.directories.at(next_directory_++));
        if (option == options_.command)
            return add_command(options_.commands.at(next_command_++));
        if (option == options_.manifest)
            return add_manifest(options_.manifests.at(next_manifest_++));
        const bool modifier = option == options_.params_option || option == options_.lcid ||
                              option == options_.in_extraction_dir || option == options_.quiet;
        if (!modifier)
            return 0;
        if (command_ == none)
            return usage_error(option->get_name() + " must follow the --command it belongs to");
        return modify(option, items_[command_]);
    }

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    int add_file(const std::string& argument) {
        PackItem item;
        if (const Status status = parse_file_argument(argument, item); !status.ok())
            return usage_error(status.message());
        items_.push_back(std::move(item));
        command_ = none;
        return 0;
    }

    int add_directory(const std::string& argument) {
        DirectoryArgument directory;
        if (const Status status = parse_directory_argument(argument, directory); !status.ok())
            return usage_error(status.message());
        if (const Status status = add_directory_files(directory, items_); !status.ok()) {
            print_error(status.message());
            return exit_failure;
        }
        command_ = none;
        return 0;
    }

    int add_command(const std::string& program) {
        std::optional<std::u16string> name = from_utf8_strict(program);
        if (!name)
            return usage_error("--command " + program + ": not valid UTF-8");
        PackItem item;
        item.kind = PackItem::Kind::command;
        item.name = std::move(*name);
        item.origin = "--command " + program;
        items_.push_back(std::move(item));
        command_ = items_.size() - 1;
        has_params_ = has_lcid_ = false;
        return 0;
    }

    int add_manifest(const std::string& file) {
        ManifestResult manifest = load_manifest(path_from_utf8(file));
        if (!manifest.status.ok()) {
            print_error(manifest.status.message());
            return exit_failure;
        }
        std::move(manifest.items.begin(), manifest.items.end(), std::back_inserter(items_));
        if (std::string problem = merge_branding(branding_, manifest.branding); !problem.empty()) {
            print_error(problem);
            return exit_failure;
        }
        command_ = none;
        return 0;
    }

    int modify(const CLI::Option* option, PackItem& item) {
        if (option == options_.in_extraction_dir) {
            item.in_extraction_dir = true;
        } else if (option == options_.quiet) {
            item.quiet = true;
        } else if (option == options_.params_option) {
            const std::string& text = options_.params.at(next_params_++);
            if (std::exchange(has_params_, true))
                return usage_error(item.origin + ": --params is given twice");
            std::optional<std::u16string> parameters = from_utf8_strict(text);
            if (!parameters)
                return usage_error("--params " + text + ": not valid UTF-8");
            item.parameters = std::move(*parameters);
        } else {
            const std::string& text = options_.lcids.at(next_lcid_++);
            if (std::exchange(has_lcid_, true))
                return usage_error(item.origin + ": --lcid is given twice");
            const LcidResult lcid = parse_lcid(text);
            if (!lcid.lcid)
                return usage_error("--lcid " + text + ": " + lcid.problem + "; give " + lcid_forms);
            item.lcid = lcid.lcid;
        }
        return 0;
    }

    const BuildOptions& options_;
    std::vector<PackItem>& items_;
    Branding& branding_;
    std::size_t next_file_ = 0, next_directory_ = 0, next_command_ = 0, next_params_ = 0;
    std::size_t next_lcid_ = 0;
    std::size_t next_manifest_ = 0;
    std::size_t command_ = none;  // the index in items of the command that modifiers apply to
    bool has_params_ = false, has_lcid_ = false;
};

CLI::App* add_build(CLI::App& app, BuildOptions& options) {
    CLI::App* build = app.add_subcommand(
        "build", "Append attachments to a launcher executable and write the result to a new file");
    build
        ->add_option("--launcher", options.launcher,
                     "The launcher executable (never modified; default: the installed one)")
        ->type_name("EXE");
    build
        ->add_option("--arch", options.architecture,
                     "The installed launcher to take: i686 (the default) or x86-64")
        ->check(CLI::IsMember({"i686", "x86-64"}))
        ->type_name("ARCH");
    build->add_flag("--allow-foreign-launcher", options.foreign_launcher,
                    "Take a --launcher that is no setup launcher (below)");
    build->add_option("--icon", options.icon, "The setup file's icon (below)")
        ->type_name("FILE.ico");
    repeatable(build->add_option("--version-info", options.version_info,
                                 "One version detail of the setup file (below)"))
        ->type_name("KEY=VALUE");
    build->add_option("--output", options.output, "The launcher file to write")
        ->required()
        ->type_name("FILE");
    build->add_flag("--force", options.force, "Replace an existing output file");
    build->add_flag("--no-progress", options.no_progress, "Show no progress bar");
    options.file = repeatable(
        build->add_option("--file", options.files,
                          "A file to extract, under NAME (default: its own name; rules below)"));
    options.file->type_name("PATH[=NAME]");
    options.directory = repeatable(
        build->add_option("--directory", options.directories,
                          "Every file below DIR, named by its path below DIR (or NAME/path)"));
    options.directory->type_name("DIR[=NAME]");
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
        "--lcid", options.lcids, "Binds the preceding --command to a language: 0x0407 or 1031"));
    options.lcid->type_name("LCID");
    options.manifest = repeatable(build->add_option("--manifest", options.manifests,
                                                    "Attachments from a JSON file (format below)"));
    options.manifest->type_name("FILE.json");
    build->footer(build_help());
    return build;
}

// The branding options into the request, after those of the manifests. 0, or the exit code.
int add_branding(const BuildOptions& options, Branding& branding) {
    if (std::string problem = add_branding_options(options.icon, options.version_info, branding);
        !problem.empty()) {
        return usage_error(problem);
    }
    return 0;
}

// --launcher, or the installed launcher of --arch. 0, or the exit code.
int choose_launcher(const BuildOptions& options, std::filesystem::path& launcher) {
    if (const Status status = resolve_launcher(options.launcher, options.architecture, launcher);
        !status.ok()) {
        print_error(status.message());
        return exit_failure;
    }
    return 0;
}

int run_build(const CLI::App& build, const BuildOptions& options) {
    BuildRequest request;
    ItemCollector collector(options, request.items, request.branding);
    for (const CLI::Option* option : build.parse_order()) {
        if (const int code = collector.add(option); code != 0)
            return code;
    }
    if (const int code = add_branding(options, request.branding); code != 0)
        return code;
    if (const int code = choose_launcher(options, request.launcher); code != 0)
        return code;
    request.foreign_launcher = options.foreign_launcher;
    request.output = path_from_utf8(options.output);
    request.force = options.force;
    TerminalProgress progress(!options.no_progress);
    request.progress = progress.callback();
    const Status status = build_launcher(request);
    progress.finish();
    if (!status.ok()) {
        print_error(status.message());
        return exit_failure;
    }
    return 0;
}

// The options of the commands that read a launcher file.
struct ReadOptions {
    std::string file;
    std::string directory;  // extract
    bool json = false;      // list, verify
    bool no_progress = false;
};

int run_list(const ReadOptions& options) {
    const ChainListing listing = list_attachments(path_from_utf8(options.file));
    if (options.json) {
        write_text(stdout, format_list_json(listing));
    } else {
        if (!listing.attachments.empty())
            write_text(stdout, format_table(listing.attachments));
        else if (listing.status.ok())
            write_text(stdout, options.file + ": no attachments\n");
        write_text(stdout, options.file + ": " + describe_image(listing.image) + "\n");
        for (const std::string& line : image_detail_lines(listing.image))
            write_text(stdout, options.file + ": " + line + "\n");
    }
    if (!listing.status.ok()) {
        print_error(listing.status.message());
        return exit_failure;
    }
    return 0;
}

int run_verify(const ReadOptions& options) {
    TerminalProgress progress(!options.no_progress);
    const VerifyReport report = verify_launcher(path_from_utf8(options.file), progress.callback());
    progress.finish();
    if (options.json)
        write_text(stdout, format_verify_json(report));
    if (!report.status.ok()) {
        print_error(report.status.message());
        return exit_failure;
    }
    if (options.json)
        return 0;
    write_text(stdout, options.file + ": " + report.summary + "\n");
    for (const std::string& line : image_detail_lines(report.image))
        write_text(stdout, options.file + ": " + line + "\n");
    for (const std::string& note : report.outside_signed_range)
        write_text(stdout, options.file + ": ignored: " + note + "\n");
    return 0;
}

int run_extract(const ReadOptions& options) {
    TerminalProgress progress(!options.no_progress);
    const ExtractReport report = extract_launcher(
        path_from_utf8(options.file), path_from_utf8(options.directory), progress.callback());
    progress.finish();
    std::string written;
    for (const std::filesystem::path& path : report.written)
        written += terminal_text(path_to_utf8(path)) + "\n";
    write_text(stdout, written);
    if (!report.status.ok()) {
        print_error(report.status.message());
        return exit_failure;
    }
    if (report.written.empty())
        write_text(stdout, options.file + ": no files to extract\n");
    return 0;
}

void add_file_argument(CLI::App* command, ReadOptions& options) {
    command->add_option("FILE", options.file, "A launcher file")->required()->type_name("");
}

CLI::App* add_list(CLI::App& app, ReadOptions& options) {
    CLI::App* list =
        app.add_subcommand("list", "Show the attachments in the order the launcher processes them");
    add_file_argument(list, options);
    list->add_flag("--json", options.json, "Print a JSON document instead of a table (below)");
    list->footer(list_help);
    return list;
}

CLI::App* add_verify(CLI::App& app, ReadOptions& options) {
    CLI::App* verify = app.add_subcommand(
        "verify", "Read every attachment as the launcher will and check every checksum");
    add_file_argument(verify, options);
    verify->add_flag("--json", options.json, "Print a JSON document instead of the summary");
    verify->add_flag("--no-progress", options.no_progress, "Show no progress bar");
    verify->footer(verify_help);
    return verify;
}

CLI::App* add_extract(CLI::App& app, ReadOptions& options) {
    CLI::App* extract = app.add_subcommand(
        "extract", "Write the files of a launcher file into a directory, running nothing");
    add_file_argument(extract, options);
    extract
        ->add_option("-C,--directory", options.directory,
                     "Where to write the files (made when missing; in it no file is replaced, "
                     "no link followed)")
        ->required()
        ->type_name("DIR");
    extract->add_flag("--no-progress", options.no_progress, "Show no progress bar");
    return extract;
}

// CLI11 says only that a subcommand is required when the first word names none; this names it.
std::string unknown_command(const CLI::App& app, const std::vector<std::string>& arguments) {
    const auto word = std::find_if(arguments.begin(), arguments.end(),
                                   [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (word == arguments.end())
        return {};
    std::string names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (command->get_name() == *word)
            return {};
        names += (names.empty() ? "" : ", ") + command->get_name();
    }
    return "unknown command '" + *word + "'; the commands are " + names;
}

int parse(CLI::App& app, std::vector<std::string> arguments) {
    if (std::string problem = unknown_command(app, arguments); !problem.empty())
        return usage_error(problem);
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
        return usage_error(e.what());
    }
    return -1;
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
    ReadOptions list_options, verify_options, extract_options;
    const CLI::App* build = add_build(app, build_options);
    const CLI::App* list = add_list(app, list_options);
    const CLI::App* verify = add_verify(app, verify_options);
    const CLI::App* extract = add_extract(app, extract_options);
    // Set after the commands were added, since they would take it over.
    app.footer("Run 'setup_packer COMMAND --help' for the options and details of a command.\n");

    if (const int code = parse(app, utf8_arguments(argc, argv)); code >= 0)
        return code;
    if (build->parsed())
        return run_build(*build, build_options);
    if (list->parsed())
        return run_list(list_options);
    if (verify->parsed())
        return run_verify(verify_options);
    if (extract->parsed())
        return run_extract(extract_options);
    return exit_usage;
}
