// velmtape's commands in one table: names, mt's names for them, help, arguments and what
// runs them. The command line, prefix completion, dispatch, the manual page and the shell
// completion are all made from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/session.h"

namespace tools {

enum class ArgKind {
    Number,  // decimal, or hexadecimal written 0x..; checked against [min, max]
    Flag,    // an option without a value
    OnOff,   // on or off (1 or 0, as mt writes them)
    File,    // a path, or "-" for a standard stream
};

struct ArgSpec {
    ArgKind kind;
    const char* name;  // "N", "BLOCK" (positional) or "-p,--partition", "--immediate"
    const char* help;
    const char* subject = "";  // what a message about the value calls it: "count"
    bool required = false;
    int64_t min = 0;
    int64_t max = 0;
    void (*store)(CommandArgs&, int64_t) = nullptr;  // Number: where the value goes
    bool CommandArgs::*flag = nullptr;               // Flag: where it goes
    const char* excludes = "";                       // Flag: an option it cannot go with
    const char* excludesWhy = "";
};

// What a command needs before its handler can run.
enum class Runs {
    OnDrive,           // an opened session on the cartridge or device
    OnSimulatedDrive,  // an opened session on a cartridge; refused on a device (`protect`)
    MakesCartridge,    // nothing: it creates the cartridge file (`new`)
    OnFreshCartridge,  // a cartridge it creates first (`demo`)
    ReadsCartridge,    // the cartridge store itself, no drive (`map`)
    ServesRemote,      // the remote tape protocol; each open names its cartridge (`rmt`)
};

// Another name a command answers to, as mt-st or FreeBSD mt spell it; `preset` are words
// the name stands for after the command ("rdhpos" is "tell --absolute").
struct Alias {
    const char* name;
    std::vector<std::string> preset;
};

struct CommandSpec {
    const char* name;
    std::vector<Alias> aliases;
    const char* help;
    std::vector<ArgSpec> args;
    // Runs::OnDrive and Runs::OnSimulatedDrive only.
    void (*handler)(Session&, const CommandArgs&, CommandResult&) = nullptr;
    Runs runs = Runs::OnDrive;
    // FILE "-" is standard output, which then belongs to the data: every other word of the
    // tool goes to standard error.
    bool dataOnStandardOutput = false;
};

const std::vector<CommandSpec>& Commands();

// mt names the drive cannot honour, and why: refused with that reason.
struct RefusedName {
    const char* name;
    const char* why;
};
const std::vector<RefusedName>& RefusedNames();

// The command a word names: a name or alias in full, else the unique prefix of a name, else
// the unique prefix of an alias. Throws ToolError: ambiguous, refused or unknown (with the
// nearest name). `preset` receives the words an alias stands for.
const CommandSpec& ResolveCommand(const std::string& word, std::vector<std::string>& preset);

}  // namespace tools
