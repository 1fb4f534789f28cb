// How Windows tells file names apart: without case, by Unicode's simple uppercase mapping of each
// UTF-16 code unit (the table a Windows file system keeps for its names), with "/" and "\" alike
// as separators. Shared by the launcher's tools, so that what they accept is what the launcher can
// extract.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

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
    std::set<std::u16string> files_;
    std::set<std::u16string> directories_;
};
