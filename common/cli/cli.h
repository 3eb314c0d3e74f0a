// The conventions of the project's command lines on top of CLI11, shared by
// stripectl and readersim (the service takes CLI11 as it comes): an empty
// value given inline stays a value, and a refusal names the option as the
// user typed it.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace sdcli {

// The arguments for CLI::App::parse (which takes them last first). CLI11
// reads "--name=" as "--name" without a value and takes the next argument
// as its value; for an option of `app` that takes a value, "--name=" is
// passed as "--name" and "" instead, as getopt and the users have it.
// Arguments after "--" are left as they are.
std::vector<std::string> parseOrder(const CLI::App &app, const std::vector<std::string> &args);

// The option a CLI11 refusal is about, as "--name": CLI11 puts it at the
// head of its message ("--port: 1 required ..." or "json was given a
// disallowed flag override"). "" when the message names none.
std::string refusedOption(const std::string &what);

} // namespace sdcli
