// velmtape's command line: the global options and every command of the table registered with
// CLI11, the command word completed before parsing, and the values checked with their rules.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/command_table.h"

namespace tools {

// What the words asked for.
struct Invocation {
    const CommandSpec* command = nullptr;
    CommandArgs args;
    std::optional<std::string> file;  // -f, when given (perhaps empty, which is refused)
    bool trace = false;
    bool json = false;
    bool forceClaim = false;
};

// A usage error: the command (or empty) the message is about, and the message.
class UsageError : public ToolError {
public:
    using ToolError::ToolError;
};

class CommandLine {
public:
    CommandLine();

    // Parses the words after the program name. Returns an exit status when the words asked
    // for help, the version, the manual page or the completion script, which are printed;
    // else fills `invocation`. Throws UsageError (a ToolError for an unknown command).
    std::optional<int> Parse(const std::vector<std::string>& words, Invocation& invocation);
    // Whether --json was among the words: a usage error is then answered in JSON too.
    bool jsonRequested() const { return jsonSeen_; }
    // The command's full name once the command word is known, else empty.
    const std::string& commandName() const { return commandName_; }
    const CLI::App& app() const { return app_; }

private:
    std::vector<std::string> CompleteCommand(const std::vector<std::string>& words);
    void Convert(const CommandSpec& command, Invocation& invocation);
    void AddCommand(size_t index);  // the command's subcommand and arguments, once

    CLI::App app_;
    Invocation parsed_;
    std::string file_;
    std::optional<std::string> wait_;
    std::string commandName_;
    bool manual_ = false;
    bool completion_ = false;
    bool jsonSeen_ = false;
    std::string onOff_;
    std::vector<CLI::App*> subcommands_;
    // The raw words of every Number argument, by command and argument.
    std::vector<std::vector<std::string>> numbers_;
    std::vector<std::vector<CLI::Option*>> options_;
};

}  // namespace tools
