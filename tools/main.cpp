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
    for (const tools::CommandSpec& spec : tools::Commands()) {
        carries = carries || (spec.dataOnStandardOutput && command == spec.name);
    }
    return carries && std::any_of(words.begin(), words.end(), [](const std::string& word) {
               return tools::NamesStandardOutput(word);
           });
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
        PrintError(e.subject(), e.what());
        if (commandLine.jsonRequested()) {
            const std::string subject = e.subject().empty() ? "" : e.subject() + ": ";
            // Even a mistyped `read -` may have its standard output in a pipe that expects
            // only the data: the answer goes where every other word of such a read goes.
            std::ostream& answer =
                MayCarryData(commandLine.commandName(), words) ? std::cerr : std::cout;
            answer << Dump({{"ok", false},
                            {"command", commandLine.commandName().empty()
                                            ? nlohmann::json(nullptr)
                                            : nlohmann::json(commandLine.commandName())},
                            {"error", {{"message", subject + e.what()}, {"usage", true}}}})
                   << "\n";
        } else {
            std::cerr << "Run 'velmtape --help' for the commands and options.\n";
        }
        return kExitUsage;
    }
    tools::CommandArgs& args = invocation.args;
    const bool json = invocation.json;
    const bool trace = invocation.trace;
    const tools::CommandSpec& command = *invocation.command;

    // The data owns standard output: results, traces and JSON go to standard error instead.
    if (command.dataOnStandardOutput && tools::NamesStandardOutput(args.file)) {
        std::cout.rdbuf(std::cerr.rdbuf());
    }

    tools::SessionOptions options{file, trace, json, args.busyWait, invocation.forceClaim};
    tools::Outcome outcome;
    nlohmann::json traceJson = nlohmann::json::array();
    nlohmann::json target;
    const std::string shown = tools::ShownName(file);
    const auto printJsonError = [&](const std::string& message) {
        if (json) {
            std::cout << Dump({{"ok", false},
                               {"command", args.command},
                               {"cartridge", shown},
                               {"error", {{"message", message}}}})
                      << "\n";
        }
    };
    if (command.runs == tools::Runs::ServesRemote) {
        options.json = false;
        return tools::rmt::Serve(STDIN_FILENO, STDOUT_FILENO, options, trace);
    }
    const bool onDevice = tools::ChooseTarget(file) != tools::TargetKind::Cartridge;
    if (onDevice && command.runs != tools::Runs::OnDrive) {
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
        const std::string what = "'" + args.command + why;
        PrintError(shown, what);
        printJsonError(what);
        return kExitUsage;
    }
    try {
        if (command.runs == tools::Runs::MakesCartridge) {
            outcome = tools::CreateCartridge(file, args);
        } else if (command.runs == tools::Runs::ReadsCartridge) {
            outcome = tools::MapCartridge(file, args.busyWait);
        } else {
            if (command.runs == tools::Runs::OnFreshCartridge) {
                args.capacityMb = kDemoCapacityMb;
                tools::CreateCartridge(file, args);
            }
            tools::Session session(options);
            session.Open();
            target = session.TargetJson();
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
            traceJson = session.trace();
        }
    } catch (const store::StoreError& e) {
        // `new` and `map`, which have no drive: nothing of theirs was kept.
        const tools::ToolError error = tools::FromStoreError(file, e);
        PrintError(error.subject(), error.what());
        printJsonError(error.what());
        return kExitUsage;
    } catch (const tools::ClaimRefused& e) {
        PrintError(e.subject(), e.what());
        printJsonError(e.what());
        return kExitFailed;
    } catch (const tools::ToolError& e) {
        PrintError(e.subject(), e.what());
        printJsonError(e.what());
        return kExitUsage;
    }

    if (json) {
        nlohmann::json answer = {{"ok", !outcome.failure},
                                 {"command", args.command},
                                 {"cartridge", shown},
                                 {"result", outcome.result}};
        if (!target.is_null()) {
            answer["target"] = target;
        }
        if (outcome.failure) {
            nlohmann::json error = {
                {"message",
                 tools::FailureText(outcome.failedFile ? "" : args.command, *outcome.failure)}};
            if (outcome.failure->status) {
                const TAPE_STATUS status = *outcome.failure->status;
                error["status"] = host::TapeStatusName(status);
                error["code"] = static_cast<int>(status);
                error["meaning"] = host::TapeStatusMeaning(status);
            }
            if (!outcome.failure->hint.empty()) {
                error["hint"] = outcome.failure->hint;
            }
            answer["error"] = error;
        }
        if (trace) {
            answer["trace"] = traceJson;
        }
        std::cout << Dump(answer) << "\n";
    } else {
        for (const std::string& line : outcome.lines) {
            std::cout << tools::Printable(line) << "\n";
        }
    }
    if (outcome.failure) {
        // A failure of the user's own file is said about that file, which names it well enough.
        const std::string what =
            tools::FailureText(outcome.failedFile ? "" : args.command, *outcome.failure);
        if (outcome.failedFile) {
            PrintError(*outcome.failedFile, what);
            return kExitUsage;
        }
        PrintError(shown, what);
        return kExitFailed;
    }
    return kExitDone;
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
