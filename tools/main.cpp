// velmtape: tape requests carried out through the real driver routines, the class-driver
// stand-in and a drive, shown the way mt users expect; the drive is the simulated QT-7310
// whose cartridge lives in a file.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/transcript.h"
#include "tools/command_line.h"
#include "tools/command_table.h"
#include "tools/commands.h"
#include "tools/data_file.h"
#include "tools/demo.h"
#include "tools/map.h"
#include "tools/process_start.h"
#include "tools/report.h"
#include "tools/rmt_server.h"
#include "tools/session.h"
#include "tools/target_choice.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;   // bad usage, or a cartridge that cannot be opened
constexpr int kExitFailed = 2;  // the drive or the driver failed the request
constexpr const char* kDefaultFile = "velmtape.tape";
constexpr uint64_t kDemoCapacityMb = 2048;

// Names come from anyone (a cartridge or file name may hold a newline), so every line is
// printed escaped and stays one line; JSON escapes its own, and a name that is not UTF-8 is
// shown with replacement characters instead of failing the answer.
void PrintError(const std::string& subject, const std::string& what)
{
    std::cerr << "velmtape: " << tools::Printable((subject.empty() ? "" : subject + ": ") + what)
              << "\n";
}

std::string Dump(const nlohmann::json& answer)
{
    return answer.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// -f, else $TAPE, else the default file; a name given but empty is a mistake (an unset
// variable in a script), never a reason to use some other cartridge.
std::string CartridgePath(const std::optional<std::string>& given)
{
    if (given) {
        if (given->empty()) {
            throw tools::UsageError("-f", "the cartridge file or device name is empty");
        }
        return *given;
    }
    const char* tape = std::getenv("TAPE");
    if (tape == nullptr) {
        return kDefaultFile;
    }
    if (*tape == '\0') {
        throw tools::UsageError("TAPE",
                                "set but empty; name a cartridge file or device, or "
                                "unset it");
    }
    return tape;
}

// A command that writes its data to standard output when given "-", with a "-" among the
// words: told before the words are understood, so it leans to keeping standard output clean.
bool MayCarryData(const std::string& command, const std::vector<std::string>& words)
{
    bool carries = false;
    for (const tools::CommandSpec& entry : tools::Commands()) {
        carries = carries || (entry.dataOnStandardOutput && command == entry.name);
    }
    return carries && std::any_of(words.begin(), words.end(), [](const std::string& word) {
               return tools::NamesStandardOutput(word);
           });
}

// Every JSON answer has this one shape: what is not known for it is left out (the cartridge and
// result of a command line that could not be read, the target of a command that reached no
// drive, the trace when none was asked for).
// NOLINTNEXTLINE(bugprone-exception-escape): its implicit moves are nlohmann::json's noexcept ones
struct JsonAnswer {
    nlohmann::json command;                // null when the command line named none
    std::optional<std::string> cartridge;  // as shown to the user
    std::optional<nlohmann::json> result;  // what a command that ran gave
    nlohmann::json target;                 // the drive the requests went to; null: none
    std::optional<nlohmann::json> error;   // {message, and what else is known of the failure}
    std::optional<nlohmann::json> trace;
};

std::string Dump(const JsonAnswer& parts)
{
    nlohmann::json answer = {{"ok", !parts.error}, {"command", parts.command}};
    if (parts.cartridge) {
        answer["cartridge"] = *parts.cartridge;
    }
    if (parts.result) {
        answer["result"] = *parts.result;
    }
    if (!parts.target.is_null()) {
        answer["target"] = parts.target;
    }
    if (parts.error) {
        answer["error"] = *parts.error;
    }
    if (parts.trace) {
        answer["trace"] = *parts.trace;
    }
    return Dump(answer);
}

// A command line that cannot be read: said on standard error, and as JSON when asked for.
int UsageFailed(const tools::CommandLine& commandLine, const std::vector<std::string>& words,
                const tools::ToolError& e)
{
    PrintError(e.subject(), e.what());
    if (!commandLine.jsonRequested()) {
        std::cerr << "Run 'velmtape --help' for the commands and options.\n";
        return kExitUsage;
    }
    const std::string subject = e.subject().empty() ? "" : e.subject() + ": ";
    JsonAnswer answer;
    answer.command = commandLine.commandName().empty() ? nlohmann::json(nullptr)
                                                       : nlohmann::json(commandLine.commandName());
    answer.error = {{"message", subject + e.what()}, {"usage", true}};
    // Even a mistyped `read -` may have its standard output in a pipe that expects only the
    // data: the answer goes where every other word of such a read goes.
    std::ostream& out = MayCarryData(commandLine.commandName(), words) ? std::cerr : std::cout;
    out << Dump(answer) << "\n";
    return kExitUsage;
}

// A command that never got as far as a result: the cartridge or device could not be used.
int Refused(const tools::Invocation& invocation, const std::string& shown,
            const std::string& subject, const std::string& what, int exitStatus)
{
    PrintError(subject, what);
    if (invocation.json) {
        JsonAnswer answer;
        answer.command = invocation.args.command;
        answer.cartridge = shown;
        answer.error = {{"message", what}};
        std::cout << Dump(answer) << "\n";
    }
    return exitStatus;
}

// Why a command that needs a cartridge file cannot run on a device; nothing when it can run.
std::optional<std::string> NotForDevice(const tools::CommandSpec& command, const std::string& file,
                                        const std::string& name)
{
    if (command.runs == tools::Runs::OnDrive ||
        tools::ChooseTarget(file) == tools::TargetKind::Cartridge) {
        return std::nullopt;
    }
    const char* why =
        "' makes a cartridge file for the simulated drive; this is a device, "
        "whose cartridge is a real one";
    if (command.runs == tools::Runs::ReadsCartridge) {
        why =
            "' reads a cartridge file of the simulated drive; this is a device, whose tape "
            "only the drive itself can read";
    } else if (command.runs == tools::Runs::OnSimulatedDrive) {
        why =
            "' slides the tab of a simulated cartridge; this is a device, whose cartridge's "
            "write-protect tab is slid by hand, out of the drive";
    }
    return "'" + name + why;
}

// A command run on the drive: the session opened, the command's handler (or the demo), where
// the tape stands after a failed motion, the transport's words, the session closed.
tools::CommandResult RunOnDrive(const tools::CommandSpec& command, tools::CommandArgs& args,
                                const tools::SessionOptions& options, JsonAnswer& answer)
{
    tools::CommandResult outcome;
    tools::Session session(options);
    session.Open();
    answer.target = session.TargetJson();
    try {
        if (command.runs == tools::Runs::OnFreshCartridge) {
            outcome = tools::RunDemo(session);
        } else {
            command.handler(session, args, outcome);
        }
        if (outcome.failure && outcome.failure->status && session.MotionFailed()) {
            tools::ShowStop(session, outcome);
        }
        // A request the transport cut off says why in the transport's own words.
        const std::string lost = session.TransportError();
        if (outcome.failure && !lost.empty()) {
            outcome.failure->hint =
                lost + (outcome.failure->hint.empty() ? "" : "; ") + outcome.failure->hint;
        }
        session.Close();
    } catch (const store::StoreError& e) {
        tools::CartridgeFailed(session, e, outcome);
    }
    answer.trace = session.trace();
    return outcome;
}

// The command itself, by how it runs; throws what the cartridge, the device or the driver
// refused.
tools::CommandResult RunCommand(const tools::CommandSpec& command, tools::CommandArgs& args,
                                const std::string& file, const tools::SessionOptions& options,
                                JsonAnswer& answer)
{
    switch (command.runs) {
    case tools::Runs::MakesCartridge:
        return tools::CreateCartridge(file, args);
    case tools::Runs::ReadsCartridge:
        return tools::MapCartridge(file, args.busyWait);
    case tools::Runs::OnFreshCartridge:
        args.capacityMb = kDemoCapacityMb;
        tools::CreateCartridge(file, args);
        return RunOnDrive(command, args, options, answer);
    default:
        return RunOnDrive(command, args, options, answer);
    }
}

// The error member of a command's JSON answer: the message, the tape status in words and the
// next step, as far as they are known.
nlohmann::json FailureJson(const std::string& command, const tools::CommandResult& outcome)
{
    nlohmann::json error = {
        {"message", tools::FailureText(outcome.failedFile ? "" : command, *outcome.failure)}};
    if (outcome.failure->status) {
        const TAPE_STATUS status = *outcome.failure->status;
        error["status"] = host::TapeStatusName(status);
        error["code"] = static_cast<int>(status);
        error["meaning"] = host::TapeStatusMeaning(status);
    }
    if (!outcome.failure->hint.empty()) {
        error["hint"] = outcome.failure->hint;
    }
    return error;
}

// What a command came to, as JSON or lines, then its failure on standard error; the exit
// status.
int Report(const tools::Invocation& invocation, const std::string& shown,
           const tools::CommandResult& outcome, JsonAnswer answer)
{
    const std::string& command = invocation.args.command;
    if (invocation.json) {
        answer.command = command;
        answer.cartridge = shown;
        answer.result = outcome.result;
        if (outcome.failure) {
            answer.error = FailureJson(command, outcome);
        }
        if (!invocation.trace) {
            answer.trace.reset();
        } else if (!answer.trace) {
            answer.trace = nlohmann::json::array();  // a command with no drive sent nothing
        }
        std::cout << Dump(answer) << "\n";
    } else {
        for (const std::string& line : outcome.lines) {
            std::cout << tools::Printable(line) << "\n";
        }
    }
    if (!outcome.failure) {
        return kExitDone;
    }
    // A failure of the user's own file is said about that file, which names it well enough.
    const std::string what =
        tools::FailureText(outcome.failedFile ? "" : command, *outcome.failure);
    if (outcome.failedFile) {
        PrintError(*outcome.failedFile, what);
        return kExitUsage;
    }
    PrintError(shown, what);
    return kExitFailed;
}

int RunTool(int argc, char** argv)
{
    const std::vector<std::string> words(argv + 1, argv + argc);
    tools::CommandLine commandLine;
    tools::Invocation invocation;
    std::string file;
    try {
        if (const std::optional<int> done = commandLine.Parse(words, invocation)) {
            return *done;
        }
        // The remote tape server learns its cartridge from each open, never from -f or $TAPE.
        if (invocation.command->runs != tools::Runs::ServesRemote) {
            file = CartridgePath(invocation.file);
        }
    } catch (const tools::ToolError& e) {
        return UsageFailed(commandLine, words, e);
    }
    tools::CommandArgs& args = invocation.args;
    const tools::CommandSpec& command = *invocation.command;

    // The data owns standard output: results, traces and JSON go to standard error instead.
    if (command.dataOnStandardOutput && tools::NamesStandardOutput(args.file)) {
        std::cout.rdbuf(std::cerr.rdbuf());
    }
    tools::SessionOptions options{file, invocation.trace, invocation.json, args.busyWait,
                                  invocation.forceClaim};
    if (command.runs == tools::Runs::ServesRemote) {
        options.json = false;
        return tools::rmt::Serve(STDIN_FILENO, STDOUT_FILENO, options, invocation.trace);
    }
    const std::string shown = tools::ShownName(file);
    if (const std::optional<std::string> why = NotForDevice(command, file, args.command)) {
        return Refused(invocation, shown, shown, *why, kExitUsage);
    }
    JsonAnswer answer;
    tools::CommandResult outcome;
    try {
        outcome = RunCommand(command, args, file, options, answer);
    } catch (const store::StoreError& e) {
        // `new` and `map`, which have no drive: nothing of theirs was kept.
        const tools::ToolError error = tools::FromStoreError(file, e);
        return Refused(invocation, shown, error.subject(), error.what(), kExitUsage);
    } catch (const tools::ClaimRefused& e) {
        return Refused(invocation, shown, e.subject(), e.what(), kExitFailed);
    } catch (const tools::ToolError& e) {
        return Refused(invocation, shown, e.subject(), e.what(), kExitUsage);
    }
    return Report(invocation, shown, outcome, std::move(answer));
}

}  // namespace

int main(int argc, char** argv)
{
    if (!tools::PrepareProcess()) {
        return kExitUsage;  // with no standard error to say it on
    }
    // What escapes the tool's own handling (out of memory, a library's failure) is still
    // reported the tool's way instead of ending the process without a word.
    // Every block passes through buffers of its size that are freed again at once: without
    // this, the heap is handed back to the system and taken again for each block.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    try {
        return RunTool(argc, argv);
    } catch (const std::exception& e) {
        PrintError("", e.what());
    } catch (...) {
        PrintError("", "unexpected failure");
    }
    return kExitUsage;
}
