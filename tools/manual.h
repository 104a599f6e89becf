// velmtape's documents made from the command table: the manual page velmtape(1) in troff and
// the bash completion script, so neither can drift from the commands the tool has.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace tools {

// `app` holds the global options (the commands come from the table).
std::string ManualPage(const CLI::App& app);
std::string BashCompletion(const CLI::App& app);

}  // namespace tools
