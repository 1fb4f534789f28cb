// How Windows names files, as far as the launcher's tools need it: the names a file may have below
// the extraction directory, the length its path may have, and when two names are the same file
// (without case, by Unicode's simple uppercase mapping of each UTF-16 code unit, the table a
// Windows file system keeps for its names). "/" and "\" alike separate components. Shared by the
// launcher and setup_packer, so that what setup_packer accepts is what the launcher can extract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The two characters that separate a name's components, as Windows takes them.
inline constexpr std::u16string_view name_separators = u"/\\";

inline bool is_separator(char16_t unit) {
    return unit == u'/' || unit == u'\\';
}

// The components of a name between its separators, empty ones included: "a//b/" has four.
std::vector<std::u16string_view> split_name(std::u16string_view name);

// Why a relative file name can't be used in the extraction directory, in the order checked.
enum class NameProblem {
    none,
    empty,
    leading_separator,      // "\\a", "/a", and with them every UNC and device prefix
    colon,                  // a drive ("C:") or an alternate data stream ("a:b")
    control_character,      // U+0001 to U+001F
    reserved_character,     // < > " | ? *
    empty_component,        // two separators in a row, or one at the end
    dots_component,         // only dots and spaces: Windows trims it to "..", "." or nothing
    trailing_dot_or_space,  // Windows drops it, so the file would get another name
    device_name,            // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$
};

struct NameCheck {
    NameProblem problem = NameProblem::none;
    // The offending character, or the first character of the offending component.
    std::size_t position = 0;
    std::size_t length = 0;  // 1 for a character, the component's length for a component
};

// Checks a file name against what a Windows file system accepts below the extraction directory.
// A component is a device name when its device_name_stem is one of the names above in any ASCII
// case, or COM or LPT with a superscript 1, 2 or 3 (U+00B9, U+00B2, U+00B3), which Windows takes
// for digits there: "con", "Nul.txt", "CON .txt", "lpt1.tar.gz".
NameCheck check_relative_name(std::u16string_view name);

// The part of a component that Windows compares with the device names: up to its first dot,
// with trailing spaces dropped as Windows drops them ("CON .txt" -> "CON").
std::u16string_view device_name_stem(std::u16string_view component);

// True when check_relative_name finds no problem: the name stays inside the extraction directory
// and names there the file it says.
bool is_safe_relative_name(std::u16string_view name);

// The limits of the Windows file calls that the launcher uses, which take no "\\?\" paths: a
// path has at most 260 UTF-16 units with its terminator, a directory to be created 248, which
// leaves room below it for an 8.3 name.
inline constexpr std::size_t max_path_units = 260;
inline constexpr std::size_t max_directory_path_units = 248;

// True when `root` (the extraction directory with its closing separator) followed by `name` fits
// those limits: the file's path, and the path of every directory that the name's separators
// make, counted as the launcher creates them (ending in their separator).
bool fits_path_limit(std::u16string_view root, std::u16string_view name);

// The uppercase of one UTF-16 code unit, as a Windows file system compares names. Surrogates and
// units without an uppercase mapping stay as they are.
char16_t file_name_upcase(char16_t unit);

// True when Windows takes the two names, or components, for the same one: equal after
// file_name_upcase of every unit. Separators are not treated specially.
bool same_file_name(std::u16string_view a, std::u16string_view b);

// The key of a relative name: each unit upcased, "\" made "/", empty components dropped. Two names
// that Windows resolves to the same path below one directory have the same key.
std::u16string file_name_key(std::u16string_view name);

// Why a name can't join the names extracted so far.
enum class NameClash {
    none,
    same_name,             // an earlier file has this name
    file_in_the_way,       // an earlier file has the name of one of this name's directories
    directory_in_the_way,  // this name is a directory of an earlier file
};

// The file names that one chain extracts, in the order they are extracted, with the directories
// they imply.
class ExtractedNameSet {
public:
    // Adds a name unless it clashes with an earlier one.
    NameClash add(std::u16string_view name);

private:
    // Hashed, and looked up by views: a payload of many files checks each name in constant time
    // and without copying its directories.
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view key) const {
            return std::hash<std::u16string_view>{}(key);
        }
    };
    using KeySet = std::unordered_set<std::u16string, KeyHash, std::equal_to<>>;
    KeySet files_;
    KeySet directories_;
};
