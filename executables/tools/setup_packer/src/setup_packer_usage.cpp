// What setup_packer says of a command line it can't take, beyond CLI11's own words: a command or
// an option that does not exist is named, with the one it most likely misspells.
#include "setup_packer_usage.h"

#include <algorithm>

#include "packer.h"

namespace {

// The first word that one command (or the program, before its command) did not take, when it
// looks like an option.
std::string unknown_option_of(const CLI::App& command) {
    for (const std::string& word : command.remaining()) {
        if (word.size() < 2 || word[0] != '-')
            continue;
        std::vector<std::string> names;  // every name, for the search
        std::string listed;              // each option once: "-C/--directory"
        for (const CLI::Option* option : command.get_options()) {
            std::string both;
            for (const std::string& name : option->get_snames())
                both += "-" + name + "/";
            for (const std::string& name : option->get_lnames()) {
                names.push_back("--" + name);
                both += "--" + name;
            }
            for (const std::string& name : option->get_snames())
                names.push_back("-" + name);
            if (!both.empty())  // a positional argument has no name to type
                listed += (listed.empty() ? "" : ", ") + both;
        }
        const std::string typed = word.substr(0, word.find('='));
        const std::string where = command.get_parent() != nullptr ? command.get_name() + ": " : "";
        const std::string closest = closest_name(typed, names);
        return where + "unknown option '" + terminal_text(typed) + "'; " +
               (closest.empty() ? "the options are " + listed : "did you mean '" + closest + "'?");
    }
    return {};
}

}  // namespace

// CLI11 says only that a subcommand is required when the first word names none; this names it,
// with the command it most likely misspells.
std::string unknown_command(const CLI::App& app, const std::vector<std::string>& arguments) {
    const auto word = std::find_if(arguments.begin(), arguments.end(),
                                   [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (word == arguments.end())
        return {};
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (command->get_name() == *word)
            return {};
        names.push_back(command->get_name());
    }
    std::string listed;
    for (const std::string& name : names)
        listed += (listed.empty() ? "" : ", ") + name;
    const std::string closest = closest_name(*word, names);
    return "unknown command '" + terminal_text(*word) + "'" +
           (closest.empty() ? "; the commands are "
                            : "; did you mean '" + closest + "'? The commands are ") +
           listed;
}

std::string unknown_option(const CLI::App& app) {
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (std::string problem = unknown_option_of(*command); !problem.empty())
            return problem;
    }
    return unknown_option_of(app);
}
