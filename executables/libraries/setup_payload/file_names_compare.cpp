// How file names compare and split (file_names.h). Kept apart from the rules in file_names.cpp,
// which the launcher checks itself, so that the launcher's image carries none of this unit's data.
#include "setup_payload/file_names.h"

#include <algorithm>
#include <iterator>

#include "setup_payload/file_names_upcase_table.h"

namespace {

constexpr bool runs_are_sorted() {
    for (std::size_t i = 1; i < std::size(upcase_runs); ++i) {
        if (upcase_runs[i].first <= upcase_runs[i - 1].last)
            return false;
    }
    return true;
}
static_assert(runs_are_sorted(), "the lookup searches the runs by their first unit");

}  // namespace

std::vector<std::u16string_view> split_name(std::u16string_view name) {
    std::vector<std::u16string_view> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || is_separator(name[i])) {
            components.push_back(name.substr(start, i - start));
            start = i + 1;
        }
    }
    return components;
}

char16_t file_name_upcase(char16_t unit) {
    // ASCII, the common case, maps only a to z.
    if (unit < 0x80)
        return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
    // The last run that starts at or before the unit.
    const auto after =
        std::upper_bound(std::begin(upcase_runs), std::end(upcase_runs), unit,
                         [](char16_t value, const UpcaseRun& run) { return value < run.first; });
    if (after == std::begin(upcase_runs))
        return unit;
    const UpcaseRun& run = *(after - 1);
    if (unit > run.last || (unit - run.first) % run.stride != 0)
        return unit;
    return static_cast<char16_t>(unit + run.delta);
}

bool same_file_name(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return file_name_upcase(x) == file_name_upcase(y);
           });
}

std::u16string file_name_key(std::u16string_view name) {
    std::u16string key;
    key.reserve(name.size());
    for (const char16_t unit : name) {
        if (!is_separator(unit)) {
            key.push_back(file_name_upcase(unit));
        } else if (!key.empty() && key.back() != u'/') {
            key.push_back(u'/');
        }
    }
    if (!key.empty() && key.back() == u'/')
        key.pop_back();
    return key;
}

NameClash ExtractedNameSet::add(std::u16string_view name) {
    std::u16string key = file_name_key(name);
    const std::u16string_view view = key;
    for (std::size_t cut = view.find(u'/'); cut != std::u16string_view::npos;
         cut = view.find(u'/', cut + 1)) {
        if (files_.contains(view.substr(0, cut)))
            return NameClash::file_in_the_way;
    }
    if (files_.contains(view))
        return NameClash::same_name;
    if (directories_.contains(view))
        return NameClash::directory_in_the_way;
    for (std::size_t cut = view.find(u'/'); cut != std::u16string_view::npos;
         cut = view.find(u'/', cut + 1)) {
        if (!directories_.contains(view.substr(0, cut)))
            directories_.emplace(view.substr(0, cut));
    }
    files_.insert(std::move(key));
    return NameClash::none;
}
