#include "setup_payload/file_names.h"

#include <algorithm>

namespace {

// Upper case of ASCII letters only, for the device names.
char16_t fold_ascii_case(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool equals_ignoring_ascii_case(std::u16string_view text, std::u16string_view upper) {
    return text.size() == upper.size() &&
           std::equal(text.begin(), text.end(), upper.begin(),
                      [](char16_t a, char16_t b) { return fold_ascii_case(a) == b; });
}

// Windows opens the device instead of a file for these names, with any extension, in any
// directory. COM and LPT count 0 to 9, and also the superscript digits 1 to 3. Device names are
// ASCII, and Windows compares them in ASCII case only.
bool is_device_name(std::u16string_view component) {
    const std::u16string_view stem = device_name_stem(component);
    for (const std::u16string_view device :
         {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (equals_ignoring_ascii_case(stem, device))
            return true;
    }
    if (stem.size() != 4)
        return false;
    const std::u16string_view prefix(stem.data(), 3);
    const char16_t number = stem[3];
    return (equals_ignoring_ascii_case(prefix, u"COM") ||
            equals_ignoring_ascii_case(prefix, u"LPT")) &&
           ((number >= u'0' && number <= u'9') || number == u'\u00B9' || number == u'\u00B2' ||
            number == u'\u00B3');
}

NameProblem component_problem(std::u16string_view component) {
    if (component.empty())
        return NameProblem::empty_component;
    if (component.find_first_not_of(u". ") == std::u16string_view::npos)
        return NameProblem::dots_component;
    if (component.back() == u'.' || component.back() == u' ')
        return NameProblem::trailing_dot_or_space;
    if (is_device_name(component))
        return NameProblem::device_name;
    return NameProblem::none;
}

}  // namespace

std::u16string_view device_name_stem(std::u16string_view component) {
    // Not substr: the launcher carries none of its out-of-range report.
    std::u16string_view stem(component.data(), std::min(component.find(u'.'), component.size()));
    while (!stem.empty() && stem.back() == u' ')
        stem.remove_suffix(1);
    return stem;
}

NameCheck check_relative_name(std::u16string_view name) {
    if (name.empty())
        return {NameProblem::empty, 0, 0};
    // A leading separator also starts every UNC and device path ("\\server", "\\?\", "\\.\").
    if (is_separator(name.front()))
        return {NameProblem::leading_separator, 0, 1};
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c == u':')
            return {NameProblem::colon, i, 1};
        if (c < 0x20)
            return {NameProblem::control_character, i, 1};
        if (std::u16string_view(u"<>\"|?*").find(c) != std::u16string_view::npos)
            return {NameProblem::reserved_character, i, 1};
    }
    std::size_t begin = 0;
    for (;;) {
        const auto separator = std::find_if(name.begin() + begin, name.end(), is_separator);
        const auto end = static_cast<std::size_t>(separator - name.begin());
        const NameProblem problem =
            component_problem(std::u16string_view(name.data() + begin, end - begin));
        if (problem != NameProblem::none)
            return {problem, begin, end - begin};
        if (separator == name.end())
            return {};
        begin = end + 1;
    }
}

bool is_safe_relative_name(std::u16string_view name) {
    return check_relative_name(name).problem == NameProblem::none;
}

bool fits_path_limit(std::u16string_view root, std::u16string_view name) {
    // Each length counts the terminator as well.
    if (root.size() + name.size() + 1 > max_path_units)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (is_separator(name[i]) && root.size() + i + 2 > max_directory_path_units)
            return false;
    }
    return true;
}
