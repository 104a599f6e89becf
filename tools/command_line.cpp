// Turning velmtape's words into an invocation: CLI11 does the parsing from the command table;
// the tool completes the command word first and checks every value itself, so each message
// names its subject and its rule in the tool's words.
#include "tools/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "tools/manual.h"

namespace tools {
namespace {

constexpr double kWaitMaxSeconds = 3600;  // an hour: longer is a mistake, not patience

const char* kDescription =
    "velmtape carries out tape requests through the VELMDAT driver's own routines, the "
    "class-driver stand-in and a drive, and shows what happened.\n\n"
    "The drive is a simulated VELM QT-7310 whose cartridge is kept in a folder: -f PATH, else "
    "$TAPE, else ./velmtape.tape. Each invocation continues where the last one left off. "
    "Create a cartridge with 'velmtape -f PATH new'. PATH is a folder only you can write, "
    "holding the blocks (data, each with its checksum) and an index that also keeps the "
    "drive's settings, the position and an ejected or locked drive; a second velmtape waits "
    "for the first (see --wait). An old cartridge file is converted once, the old file kept as "
    "PATH.sqlite-v1 or PATH.velmcart-v1.\n\n"
    "-f may also name a real drive: iscsi://[USER[%PASSWORD]@]HOST[:PORT]/TARGET-IQN/LUN "
    "(libiscsi's URL form) or a Linux SCSI device /dev/sgN, /dev/nstN, /dev/stN. The driver "
    "claims only the VELM QT-7310; 'new' and 'demo' work on cartridges only.\n\n"
    "Partitions are numbered 1 and 2 as in the tape requests; 0 means stay in the current one. "
    "Command names may be shortened to any unique prefix; counts default to 1. Numbers are "
    "decimal, or hexadecimal written 0x...; a leading zero does not make a number octal "
    "('weof 010' writes 10 filemarks). The names in brackets are mt's names for a command.\n\n"
    "Exit status: 0 done, 1 bad usage, a cartridge that cannot be opened or a data file that "
    "cannot be read or written, 2 the drive or the driver failed the request.";

// A number as velmtape reads it: decimal digits, or 0x and hexadecimal digits, with an
// optional minus sign; nothing else. Values beyond 64 bits count as out of range.
bool ReadNumber(const std::string& text, int64_t& value, bool& overflow)
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    i += negative ? 1 : 0;
    int base = 10;
    if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) {
        return false;
    }
    uint64_t magnitude = 0;
    overflow = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return false;
        }
        if (magnitude > (uint64_t{1} << 62) / static_cast<uint64_t>(base)) {
            overflow = true;
        }
        magnitude = overflow ? magnitude : magnitude * static_cast<uint64_t>(base) + digit;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// --wait's seconds: a decimal number, fractions allowed, from 0 to an hour.
std::chrono::milliseconds WaitFor(const std::optional<std::string>& text)
{
    if (!text) {
        return kDefaultBusyWait;
    }
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || errno != 0 || !(seconds == seconds)) {
        throw UsageError("--wait", "'" + *text + "' is not a number of seconds");
    }
    if (seconds < 0 || seconds > kWaitMaxSeconds) {
        throw UsageError("--wait", *text + " is out of range: 0 to 3600 seconds");
    }
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

std::string HelpWithAliases(const CommandSpec& command)
{
    std::string help = command.help;
    if (!command.aliases.empty()) {
        help += " [";
        for (size_t i = 0; i < command.aliases.size(); ++i) {
            help += (i == 0 ? "" : ", ") + std::string(command.aliases[i].name);
        }
        help += "]";
    }
    return help;
}

// The long name of an option's names ("-p,--partition" -> "--partition").
std::string LongName(const std::string& names)
{
    const size_t comma = names.rfind(',');
    return comma == std::string::npos ? names : names.substr(comma + 1);
}

}  // namespace

CommandLine::CommandLine() : app_(kDescription, "velmtape")
{
    app_.set_help_all_flag("--help-all", "Help of every command");
    app_.set_version_flag("--version", std::string("velmtape ") + VELMTAPE_VERSION);
    app_.add_option("-f,--file", file_, "Cartridge file (default: $TAPE, else ./velmtape.tape)");
    app_.add_flag("--trace", parsed_.trace,
                  "Print every call of the driver with its status and every SCSI command with "
                  "its CDB, data and the drive's answer");
    app_.add_flag("--json", parsed_.json, "Print the result (and the trace) as JSON for scripts");
    app_.add_option("--wait", wait_,
                    "Seconds to wait for another velmtape to finish with the cartridge (default "
                    "5, at most 3600)")
        ->type_name("SECONDS");
    app_.add_flag("--force-claim", parsed_.forceClaim,
                  "For testing only: run the requests on a sequential-access device that the "
                  "driver does not claim (the driver's routines are written for the QT-7310)");
    app_.add_flag("--man", manual_, "Print this manual page (troff) and exit");
    app_.add_flag("--bash-completion", completion_, "Print the bash completion script and exit");
    // mt names the drive cannot honour are answered with the reason; --help lists them too.
    std::string refused;
    for (const RefusedName& name : RefusedNames()) {
        refused +=
            std::string(refused.empty() ? "" : "\n") + "  " + name.name + ": refused, " + name.why;
    }
    if (!refused.empty()) {
        app_.footer("Names mt knows that velmtape refuses:\n" + refused);
    }
    app_.require_subcommand(0, 1);
    app_.fallthrough();
    app_.allow_extras();  // words nobody takes are reported in the tool's own words

    // Each command becomes a subcommand, with its arguments, when the words name it (or ask
    // for every command's help): a run parses one command, and making all of them took as
    // long as opening a cartridge.
    subcommands_.resize(Commands().size());
    numbers_.resize(Commands().size());
    options_.resize(Commands().size());
}

void CommandLine::AddCommand(size_t index)
{
    const CommandSpec& command = Commands()[index];
    if (subcommands_[index] != nullptr) {
        return;
    }
    CLI::App* sub = app_.add_subcommand(command.name, HelpWithAliases(command));
    subcommands_[index] = sub;
    sub->allow_extras();
    numbers_[index].resize(command.args.size());
    for (size_t j = 0; j < command.args.size(); ++j) {
        const ArgSpec& arg = command.args[j];
        CLI::Option* option = nullptr;
        switch (arg.kind) {
        case ArgKind::Number:
            option = sub->add_option(arg.name, numbers_[index][j], arg.help)->type_name("NUMBER");
            break;
        case ArgKind::Flag:
            option = sub->add_flag(arg.name, parsed_.args.*arg.flag, arg.help);
            break;
        case ArgKind::OnOff:
            option = sub->add_option(arg.name, onOff_, arg.help);
            break;
        case ArgKind::File:
            option = sub->add_option(arg.name, parsed_.args.file, arg.help);
            break;
        }
        options_[index].push_back(option);
    }
}

// The first word that is neither an option nor an option's value names the command: it is
// completed to the command's full name (mt accepts unique prefixes), and an alias's preset
// words follow it.
std::vector<std::string> CommandLine::CompleteCommand(const std::vector<std::string>& words)
{
    std::vector<std::string> completed = words;
    for (size_t i = 0; i < completed.size(); ++i) {
        const std::string& word = completed[i];
        if (!word.empty() && word[0] == '-') {
            // CLI11 would take the word after "--file=" as its value; an empty value given
            // that way is as empty as -f '' and is refused the same way.
            const size_t equals = word.find('=');
            const std::string name = word.substr(0, equals);
            if (equals != std::string::npos && equals + 1 == word.size()) {
                completed[i] = name;
                completed.insert(completed.begin() + static_cast<std::ptrdiff_t>(i) + 1, "");
                ++i;
                continue;
            }
            const CLI::Option* option = app_.get_option_no_throw(name);
            if (option != nullptr && option->get_items_expected_min() > 0 &&
                equals == std::string::npos) {
                if (i + 1 == completed.size()) {
                    throw UsageError(word, "needs a value");
                }
                ++i;  // its value
            }
            continue;
        }
        std::vector<std::string> preset;
        const CommandSpec& command = ResolveCommand(word, preset);
        commandName_ = command.name;
        AddCommand(static_cast<size_t>(&command - Commands().data()));
        completed[i] = command.name;
        completed.insert(completed.begin() + static_cast<std::ptrdiff_t>(i) + 1, preset.begin(),
                         preset.end());
        break;
    }
    return completed;
}

std::optional<int> CommandLine::Parse(const std::vector<std::string>& words, Invocation& invocation)
{
    for (const std::string& word : words) {
        jsonSeen_ = jsonSeen_ || word == "--json";
        // Help, the manual page and the completion script show every command's arguments.
        if (word.rfind("--help", 0) == 0 || word == "-h" || word == "--man" ||
            word == "--bash-completion") {
            for (size_t i = 0; i < Commands().size(); ++i) {
                AddCommand(i);
            }
        }
    }
    const std::vector<std::string> completed = CompleteCommand(words);
    // CLI11 reads argv as the system hands it over: program name first.
    std::vector<const char*> argv{"velmtape"};
    for (const std::string& word : completed) {
        argv.push_back(word.c_str());
    }
    try {
        app_.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Success& e) {  // --help, --help-all, --version
        return app_.exit(e);
    } catch (const CLI::ParseError& e) {
        throw UsageError("", e.what());
    }
    if (manual_) {
        std::cout << ManualPage(app_);
        return 0;
    }
    if (completion_) {
        std::cout << BashCompletion(app_);
        return 0;
    }
    const std::vector<CLI::App*> subs = app_.get_subcommands();
    if (!app_.remaining().empty()) {
        throw UsageError(commandName_, "unexpected word '" + app_.remaining().front() +
                                           "': not an option or argument of " +
                                           (subs.empty() ? "velmtape" : "this command"));
    }
    if (subs.empty()) {
        throw UsageError("", "no command given; run 'velmtape --help' for the commands");
    }
    for (const CommandSpec& command : Commands()) {
        if (subs.front()->get_name() == command.name) {
            parsed_.command = &command;
        }
    }
    Convert(*parsed_.command, parsed_);
    if (const CLI::Option* f = app_.get_option("--file"); f->count() > 0) {
        parsed_.file = file_;
    }
    parsed_.args.command = parsed_.command->name;
    parsed_.args.busyWait = WaitFor(wait_);
    invocation = parsed_;
    return std::nullopt;
}

void CommandLine::Convert(const CommandSpec& command, Invocation& invocation)
{
    const size_t index = static_cast<size_t>(&command - Commands().data());
    const std::string name = command.name;
    const CLI::App* sub = app_.get_subcommand(command.name);
    if (!sub->remaining().empty()) {
        throw UsageError(name, "unexpected word '" + sub->remaining().front() + "'");
    }
    for (size_t j = 0; j < command.args.size(); ++j) {
        const ArgSpec& arg = command.args[j];
        const CLI::Option* option = options_[index][j];
        if (option->count() == 0) {
            if (arg.required) {
                throw UsageError(name, std::string(arg.name) + " is missing: " + arg.help);
            }
            continue;
        }
        switch (arg.kind) {
        case ArgKind::Number: {
            const std::string& text = numbers_[index][j];
            int64_t value = 0;
            bool overflow = false;
            if (!ReadNumber(text, value, overflow)) {
                throw UsageError(name, std::string(arg.subject) + " '" + text +
                                           "' is not a number (decimal digits, or 0x and "
                                           "hexadecimal digits)");
            }
            if (overflow || value > arg.max) {
                throw UsageError(name, std::string(arg.subject) + " " + text +
                                           " is out of range: at most " + std::to_string(arg.max));
            }
            if (value < arg.min) {
                throw UsageError(name, std::string(arg.subject) + " " + text +
                                           " is out of range: at least " + std::to_string(arg.min));
            }
            arg.store(invocation.args, value);
            break;
        }
        case ArgKind::Flag:
            if (*arg.excludes != '\0' && sub->get_option(arg.excludes)->count() > 0) {
                throw UsageError(name, LongName(arg.name) + " cannot go with " + arg.excludes +
                                           ": " + arg.excludesWhy);
            }
            break;
        case ArgKind::OnOff:
            if (onOff_ != "on" && onOff_ != "off" && onOff_ != "1" && onOff_ != "0") {
                throw UsageError(name, "'" + onOff_ + "' is neither on nor off (nor 1 or 0)");
            }
            invocation.args.on = onOff_ == "on" || onOff_ == "1";
            break;
        case ArgKind::File:
            break;
        }
    }
}

}  // namespace tools
