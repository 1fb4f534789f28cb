#include <algorithm>
#include <cstdio>

#include "packer_internal.h"

std::string file_name_problem(std::u16string_view name) {
    if (name.size() > max_text_length)
        return "the name is longer than 65535 UTF-16 code units";
    const NameCheck check = check_relative_name(name);
    const std::u16string_view part = name.substr(check.position, check.length);
    switch (check.problem) {
        case NameProblem::none:
            break;
        case NameProblem::empty:
            return "the name is empty";
        case NameProblem::leading_separator:
            return "the name begins with a separator; it must be relative to the extraction "
                   "directory";
        case NameProblem::colon:
            return "the name contains ':', which would name a drive or an alternate data stream";
        case NameProblem::control_character: {
            char code[8];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(part[0]));
            return "the name contains the control character " + std::string(code);
        }
        case NameProblem::reserved_character:
            return "the name contains " + in_quotes(part) +
                   ", which Windows does not allow in file names";
        case NameProblem::empty_component:
            return "the name has an empty component (two separators in a row, or one at the end)";
        case NameProblem::dots_component:
            return "the name has the component " + in_quotes(part) +
                   ", only dots and spaces, which Windows reads as '.' or '..' or drops";
        case NameProblem::trailing_dot_or_space:
            return "the component " + in_quotes(part) +
                   " ends in a dot or a space, which Windows drops";
        case NameProblem::device_name:
            return "the name uses the Windows device name " + in_quotes(device_name_stem(part));
    }
    if (!fits_path_limit(assumed_extraction_root, name)) {
        return "the name is too long for a Windows path: at most " +
               std::to_string(max_file_name_units) + " UTF-16 code units, and at most " +
               std::to_string(max_directory_name_units) +
               " up to its last separator, fit below an extraction directory such as " +
               to_utf8(assumed_extraction_root);
    }
    return {};
}

std::string ExtractedNames::add(std::u16string_view name) {
    switch (names_.add(name)) {
        case NameClash::none:
            return {};
        case NameClash::same_name:
            return "an earlier file has the same name (Windows ignores the case of letters)";
        case NameClash::file_in_the_way:
            return "an earlier file has the name of one of its directories";
        case NameClash::directory_in_the_way:
            return "an earlier file lies in a directory of this name";
    }
    return {};
}

namespace {

// Why a command's texts can't go into a header, or empty.
std::string command_problem(const PackItem& item) {
    const struct {
        const char* what;
        const std::u16string& text;
    } texts[] = {{"the program", item.name}, {"the parameter text", item.parameters}};
    for (const auto& [what, text] : texts) {
        if (text.size() > max_text_length)
            return std::string(what) + " is longer than 65535 UTF-16 code units";
        if (text.find(u'\0') != std::u16string::npos)
            return std::string(what) + " contains a NUL character";
    }
    if (item.name.empty())
        return "the program is empty";
    // The launcher takes a chosen language of 0 for none: such a command would never run.
    if (item.lcid && *item.lcid == 0)
        return "the language 0 is no language; the command would never run";
    return {};
}

}  // namespace

Status check_items(const std::vector<PackItem>& items) {
    ExtractedNames names;
    for (const PackItem& item : items) {
        if (item.kind == PackItem::Kind::command) {
            if (std::string problem = command_problem(item); !problem.empty())
                return Status::failure(item.origin + ": " + problem);
            continue;
        }
        std::string problem = file_name_problem(item.name);
        if (problem.empty())
            problem = names.add(item.name);
        if (!problem.empty())
            return Status::failure(item.origin + ": name " + in_quotes(item.name) + ": " + problem);
    }
    return Status::success();
}
