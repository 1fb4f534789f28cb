// The texts of setup_packer's --help below the options of each command: the details of the
// options, the manifest format, the JSON documents and the exit codes.
#include "setup_packer_help.h"

#include "packer.h"

namespace {

// The details of `build`, below its options.
const char* const order_help =
    R"(Attachments are given in the order the launcher processes them: it extracts the files in
this order, then runs the commands without a language in this order, then those of the language
the user chooses (it asks only when there are several). Give a parameter text beginning with '-'
as --params=TEXT.

--file PATH=NAME: NAME is the file's path in the extraction directory (a slash or a backslash
separates directories; it can't hold '='); PATH must be a regular file (a named pipe or a device
is refused, unread). --directory DIR packs every regular file below DIR under its path below DIR
(with DIR=NAME, below NAME/), in the order of those paths; symbolic links to files count as the
files, other links, devices and pipes are refused, and empty directories are not kept. Names are
refused as the launcher refuses them: leaving the extraction directory ("..", absolute, drive,
UNC), empty or "." components, device names such as CON, NUL, COM1 or LPT1 (with any extension)
as a component, components ending in a dot or a space, control characters, the characters
: < > | ? * and the double quote, and a name that Windows takes for an earlier one (Windows
ignores case, also of letters outside A to Z).
)";

const char* const manifest_help = R"(Manifest (--manifest FILE.json):
  {"attachments": [
     {"file": "payload/update.msp", "name": "update.msp"},
     {"command": "msiexec.exe", "params": "/p update.msp", "in_extraction_dir": true,
      "quiet": false, "lcid": "0x0407"}
  ]}
  A "file" entry takes an optional "name" (default: the file's name); relative paths resolve
  against the manifest's directory. A "command" entry takes the optional "params" (text),
  "in_extraction_dir" and "quiet" (true/false) and "lcid" ("0x0407", "1031", 1031 or "de-DE").
  Entries go in at the position of --manifest, in their order. A key given twice in one entry,
  an unknown key, a number out of range and a NUL byte are errors. Messages name an entry by
  FILE:LINE:COLUMN where it begins, and a relative "file" with the directory it is taken from.
  Beside "attachments", the top level may hold "icon" (a .ico file, relative to the manifest's
  directory) and "version_info" (an object of the --version-info keys with their texts).

Without attachments (none given, an empty "attachments" or --directory of an empty tree) build
fails, unless --allow-empty asks for a launcher file that does nothing.

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

const char* const lcid_help =
    R"(--lcid: a Windows language identifier, hexadecimal with 0x (0x0407), decimal without leading
zeros (1031) or a language tag (de-DE), from 1 to 0xFFFF. A number whose decimal reading is no
Windows language but whose hexadecimal one is, is refused ("407: did you mean 0x0407 (de-DE)?");
a number that is no language setup_packer knows gets a warning.
)";

}  // namespace

std::string build_help() {
    return std::string(order_help) + "\nA name has at most " + std::to_string(max_file_name_units) +
           " UTF-16 code units (" + std::to_string(max_directory_name_units) +
           " up to its last separator): what fits\nWindows' 260-unit paths below the longest "
           "extraction directory the launcher makes in a\ntypical temporary directory, "
           "C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\" +
           to_utf8(longest_extraction_directory_name) + "\\.\n\n" + lcid_help + "\n" +
           manifest_help + "\n" + branding_help;
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
name that can't be extracted on Windows) or never run (a command for language 0), and when
bytes follow the last attachment that are no certificate table: a file cut short, or data
appended after packing. Exits 1 with "not a launcher file" for a file that does not begin with
a Windows program, and refuses a named pipe or a device unread.

Names that Windows keeps apart but this system can't (an unpaired surrogate becomes U+FFFD
here) are reported on lines "note: FILE: attachment N 'NAME': ..."; the file is still OK, but
extract can't write both.

--json prints {"format": 1, "ok", "launcher": "i686", "x86-64" or null, "attachments",
"file_bytes", "certificate_table": {"offset", "size"} or null, "ignored": [...],
"host_aliases": [...], "image", "error": null or the message} instead; "image" is null or
{"architecture", "format", "setup_launcher", "version_info": {"file_version",
"product_version", "strings"} or null, "icon": [{"width", "height", "bit_count", "png",
"bytes"}, ...] or null}.
)help";

const char* const list_help =
    R"help(Prints a table of the attachments in processing order, then "FILE: the i686 launcher (PE32)"
or "FILE: the x86-64 launcher (PE32+)": the launcher image the file carries (or "an x86-64
Windows program that is no setup launcher (PE32+)"), then its version details and icon, as
verify does. Control characters in names and parameters are shown escaped (\x1B, \u009B);
columns are aligned by the width a terminal gives each character. A command for language 0,
which the launcher never runs, shows "0x0000 (never runs)".

Exits 1 as verify does for a file that is no launcher file, a named pipe or a device, a damaged
header (the attachments before it are listed) and bytes after the last attachment that are no
certificate table (a file cut short); list reads no file data, so checksums are verify's.

--json prints {"format": 1, "launcher": "i686", "x86-64" or null, "attachments": [{"index",
"kind", "name", "parameters", "language", "flags", "flags_value", "data_size", "checksum",
"never_runs"}, ...], "image" (as verify --json), "error": null or the message}. "format"
changes only when a field changes its meaning or goes away.
)help";

const char* const extract_help =
    R"help(Every header is read and every target checked before the first file is written: a name
that can't be extracted, two names that Windows keeps apart but this system can't (an unpaired
surrogate becomes U+FFFD here), a link or a file where a directory is needed, and a file that
exists already (without --overwrite) fail with nothing written. Each file is written under a
temporary name and renamed once its checksum matches. Prints the path of every file written,
unless --quiet.
)help";
