// The usage problems that setup_packer names beyond CLI11's own words.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

// When the first word that is no option names no command: "unknown command 'bulid'; did you mean
// 'build'? The commands are ...". Empty when it names one.
std::string unknown_command(const CLI::App& app, const std::vector<std::string>& arguments);

// After a parse: the first word that looks like an option and that the program or its command
// did not take, with the option it most likely misspells ("build: unknown option '--lauchner';
// did you mean '--launcher'?") or else with every option of the command. CLI11 would name only a
// required option that is missing then, or list the words without a hint. Empty when there is
// none.
std::string unknown_option(const CLI::App& app);
