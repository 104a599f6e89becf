// velmtape: tape requests carried out through the real driver routines, the class-driver
// stand-in and a drive, shown the way mt users expect; the drive is the simulated QT-7310
// whose cartridge lives in a file.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "host/transcript.h"
#include "tools/commands.h"
#include "tools/data_file.h"
#include "tools/session.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;   // bad usage, or a cartridge that cannot be opened
constexpr int kExitFailed = 2;  // the drive or the driver failed the request
constexpr const char* kDefaultFile = "velmtape.tape";
constexpr uint32_t kMaxCount = 0xFFFFFF;  // the widest count field of any tape command

// Unique prefixes of command names are accepted, as mt accepts them: the first word that is
// not an option (or the value of -f) is completed to the one command it begins.
std::string CompleteCommand(std::vector<std::string>& args)
{
    const std::vector<std::string> aliases = {"offline", "eject"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "-f" || word == "--file") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') {
            continue;
        }
        std::vector<std::string> matches;
        for (const std::vector<std::string>* list : {&tools::CommandNames(), &aliases}) {
            for (const std::string& name : *list) {
                if (name == word) {
                    return word;
                }
                if (name.compare(0, word.size(), word) == 0) {
                    matches.push_back(name);
                }
            }
        }
        if (matches.size() == 1) {
            args[i] = matches[0];
            return matches[0];
        }
        if (matches.size() > 1) {
            std::string list;
            for (const std::string& m : matches) {
                list += list.empty() ? "" : ", ";
                list += m;
            }
            std::string what = "ambiguous command '" + word + "': ";
            what += list;
            throw tools::ToolError("", what);
        }
        return word;  // unknown: the parser says so
    }
    return {};
}

void PrintError(const std::string& subject, const std::string& what)
{
    std::cerr << "velmtape: " << (subject.empty() ? "" : subject + ": ") << what << "\n";
}

const char* kDescription =
    "velmtape carries out tape requests through the VELMDAT driver's own routines, the "
    "class-driver stand-in and a drive, and shows what happened.\n\n"
    "The drive is a simulated VELM QT-7310 whose cartridge is kept in a file: -f FILE, else "
    "$TAPE, else ./velmtape.tape. Each invocation continues where the last one left off. "
    "Create a cartridge with 'velmtape -f FILE new'. FILE is one database that also keeps the "
    "drive's settings, the position and an ejected or locked drive; a second velmtape waits "
    "for the first (see --wait). An old cartridge file is converted once, the old file kept as "
    "FILE.velmcart-v1.\n\n"
    "Partitions are numbered 1 and 2 as in the tape requests; 0 means stay in the current one. "
    "Command names may be shortened to any unique prefix; counts default to 1.\n\n"
    "Exit status: 0 done, 1 bad usage, a cartridge that cannot be opened or a data file that "
    "cannot be read or written, 2 the drive or the driver failed the request.";

int RunTool(int argc, char** argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    tools::CommandArgs args;
    bool json = false;
    std::string file;
    try {
        args.command = CompleteCommand(words);
    } catch (const tools::ToolError& e) {
        PrintError(e.subject(), e.what());
        return kExitUsage;
    }

    CLI::App app(kDescription, "velmtape");
    app.set_help_all_flag("--help-all", "Help of every command");
    app.add_option("-f,--file", file, "Cartridge file (default: $TAPE, else ./velmtape.tape)");
    bool trace = false;
    app.add_flag("--trace", trace,
                 "Print every call of the driver with its status and every SCSI command with its "
                 "CDB, data and the drive's answer");
    app.add_flag("--json", json, "Print the result (and the trace) as JSON for scripts");
    double waitSeconds = std::chrono::duration<double>(tools::kDefaultBusyWait).count();
    app.add_option("--wait", waitSeconds,
                   "Seconds to wait for another velmtape to finish with the cartridge")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.require_subcommand(1, 1);
    app.fallthrough();

    const auto add = [&](const char* name, const char* help) {
        return app.add_subcommand(name, help);
    };
    const auto countOption = [&](CLI::App* sub, const char* what) {
        sub->add_option("N", args.count, std::string("Number of ") + what + " (default 1)")
            ->check(CLI::Range(0u, kMaxCount));
    };
    const auto immediateFlag = [&](CLI::App* sub) {
        sub->add_flag("--immediate", args.immediate,
                      "Return as soon as the drive has accepted the command");
    };
    add("status",
        "Medium, write protection, block size, partitions, position, capacity, "
        "compression, setmark reporting and feature flags");
    immediateFlag(add("load", "Insert and load the cartridge"));
    CLI::App* unload = add("unload", "Unload and eject the cartridge (refused while locked)");
    unload->alias("offline")->alias("eject");
    immediateFlag(unload);
    add("lock", "Prevent removal of the cartridge");
    add("unlock", "Allow removal of the cartridge");
    immediateFlag(add("rewind", "Rewind to the beginning of the current partition"));
    immediateFlag(add("erase",
                      "Erase from the current position to the end of the partition "
                      "(long erase)"));
    CLI::App* weof = add("weof", "Write N filemarks");
    countOption(weof, "filemarks");
    immediateFlag(weof);
    CLI::App* wset = add("wset", "Write N setmarks");
    countOption(wset, "setmarks");
    immediateFlag(wset);
    countOption(add("fsf", "Space forward over N filemarks"), "filemarks");
    countOption(add("bsf", "Space backward over N filemarks"), "filemarks");
    countOption(add("fsfm", "Space forward over N filemarks, then back over the last (before it)"),
                "filemarks");
    countOption(
        add("bsfm", "Space backward over N filemarks, then forward over the last (after it)"),
        "filemarks");
    countOption(add("fsr", "Space forward over N blocks"), "blocks");
    countOption(add("bsr", "Space backward over N blocks"), "blocks");
    countOption(add("fss", "Space forward over N setmarks"), "setmarks");
    countOption(add("bss", "Space backward over N setmarks"), "setmarks");
    add("eod", "Space to the end of recorded data");
    CLI::App* seek = add("seek", "Locate a block: logical (in a partition) or --absolute");
    seek->add_option("BLOCK", args.block, "Block address")->required();
    seek->add_option("-p,--partition", args.partition,
                     "Partition 1 or 2 to locate in (default 0: the current one)")
        ->check(CLI::Range(0u, 2u));
    seek->add_flag("--absolute", args.absolute, "BLOCK is the drive's absolute block address");
    immediateFlag(seek);
    add("tell", "Print the position: partition and logical block, or --absolute")
        ->add_flag("--absolute", args.absolute, "Print the drive's absolute block address");
    add("setblk", "Set the block size (0: variable-length blocks)")
        ->add_option("N", args.blockSize, "Block size in bytes")
        ->required()
        ->check(CLI::Range(0u, kMaxCount));
    std::string state;
    add("compression", "Turn data compression on or off")
        ->add_option("on|off", state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    add("setmarks-report", "Turn setmark reporting on or off")
        ->add_option("on|off", state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    CLI::App* mkpart = add("mkpartition",
                           "Lay out the tape as two partitions, the first of "
                           "SIZE_MB megabytes, or without SIZE_MB as one "
                           "partition; erases the tape");
    mkpart->add_option("SIZE_MB", args.sizeMb, "Size of partition 1 in megabytes (10^6 bytes)");
    CLI::App* setpart = add("setpartition", "Move to the beginning of partition P (1 or 2)");
    setpart->add_option("P", args.partition, "Partition 1 or 2")
        ->required()
        ->check(CLI::Range(1u, 2u));
    immediateFlag(setpart);
    add("params", "Drive and media parameters");
    add("write",
        "Write FILE's bytes as data blocks at the current position (a fixed-size last "
        "block is filled up with zeros; follow with 'weof' to end the tape file)")
        ->add_option("FILE", args.file, "File to put on tape, or '-' for standard input")
        ->required();
    add("read",
        "Read data blocks up to the next filemark into FILE ('-': standard output, and every "
        "other word goes to standard error); an existing FILE is replaced only when the read "
        "has succeeded")
        ->add_option("FILE", args.file, "File to create or replace, or '-'")
        ->required();
    CLI::App* create = add("new", "Create a blank cartridge file");
    create->add_option("--capacity", args.capacityMb, "Capacity in megabytes (10^6 bytes)")
        ->capture_default_str()
        ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
    create->add_flag("--write-protected", args.writeProtected, "Set the write-protect tab");
    create->add_flag("--force", args.force, "Replace an existing cartridge file");
    add("demo",
        "A short session on a fresh cartridge: files with filemarks, two partitions, "
        "moves between them, with status after each step")
        ->add_flag("--force", args.force, "Replace an existing cartridge file");

    try {
        std::vector<std::string> reversed(words.rbegin(), words.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        PrintError("", e.what());
        std::cerr << "Run 'velmtape --help' for the commands and options.\n";
        return kExitUsage;
    }
    args.command = app.get_subcommands().front()->get_name();
    args.on = state == "on";

    if (file.empty()) {
        const char* tape = std::getenv("TAPE");
        file = tape != nullptr && *tape != '\0' ? tape : kDefaultFile;
    }

    // The data owns standard output: results, traces and JSON go to standard error instead.
    if (args.command == "read" && tools::NamesStandardOutput(args.file)) {
        std::cout.rdbuf(std::cerr.rdbuf());
    }

    args.busyWait = std::chrono::milliseconds(static_cast<int64_t>(waitSeconds * 1000));
    tools::SessionOptions options{file, trace, json, args.busyWait};
    tools::Outcome outcome;
    nlohmann::json traceJson = nlohmann::json::array();
    try {
        if (args.command == "new") {
            outcome = tools::CreateCartridge(file, args);
        } else {
            if (args.command == "demo") {
                args.capacityMb = 2048;
                tools::CreateCartridge(file, args);
            }
            tools::Session session(options);
            session.Open();
            outcome =
                args.command == "demo" ? tools::RunDemo(session) : tools::RunCommand(session, args);
            session.Close();
            traceJson = session.trace();
        }
    } catch (const store::StoreError& e) {
        // The database turned out damaged while a command ran: what it did is rolled back.
        const tools::ToolError error = tools::FromStoreError(file, e);
        PrintError(error.subject(), error.what());
        return kExitUsage;
    } catch (const tools::ToolError& e) {
        PrintError(e.subject(), e.what());
        if (json) {
            std::cout << nlohmann::json{{"ok", false},
                                        {"command", args.command},
                                        {"cartridge", file},
                                        {"error", {{"message", e.what()}}}}
                             .dump(2)
                      << "\n";
        }
        return kExitUsage;
    }

    if (json) {
        nlohmann::json answer = {{"ok", !outcome.failure},
                                 {"command", args.command},
                                 {"cartridge", file},
                                 {"result", outcome.result}};
        if (outcome.failure) {
            nlohmann::json error = {{"message", outcome.failure->what}};
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
        std::cout << answer.dump(2) << "\n";
    } else {
        for (const std::string& line : outcome.lines) {
            std::cout << line << "\n";
        }
    }
    if (outcome.failure) {
        std::string what = outcome.failure->what;
        if (outcome.failure->status) {
            const TAPE_STATUS status = *outcome.failure->status;
            what += ": " + std::string(host::TapeStatusName(status)) + " (" +
                    host::TapeStatusMeaning(status) + ")";
        }
        if (!outcome.failure->hint.empty()) {
            what += "; " + outcome.failure->hint;
        }
        if (outcome.failedFile) {
            PrintError(*outcome.failedFile, what);
            return kExitUsage;
        }
        PrintError(file, what);
        return kExitFailed;
    }
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv)
{
    // What escapes the tool's own handling (out of memory, a library's failure) is still
    // reported the tool's way instead of ending the process without a word.
    // A reader that goes away (`velmtape read - | head`) is a failed write with a reason,
    // not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return RunTool(argc, argv);
    } catch (const std::exception& e) {
        PrintError("", e.what());
    } catch (...) {
        PrintError("", "unexpected failure");
    }
    return kExitUsage;
}
