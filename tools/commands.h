// The tape commands of velmtape, each carried out through the driver's requests and turned
// into a result for people (lines) and for scripts (JSON).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tapeclass.h"
#include "tools/session.h"

namespace tools {

struct CommandArgs {
    std::string command;             // the full command name, aliases resolved
    uint32_t count = 1;              // weof, wset and the space commands
    bool immediate = false;          // return before the drive has finished
    uint32_t block = 0;              // seek
    uint32_t partition = 0;          // seek --partition, setpartition (1 or 2; 0 stays)
    bool absolute = false;           // seek, tell
    uint32_t blockSize = 0;          // setblk
    bool on = false;                 // compression, setmarks-report
    std::optional<uint32_t> sizeMb;  // mkpartition
    std::string file;                // write, read
    uint64_t capacityMb = 2048;      // new
    bool writeProtected = false;     // new
    bool force = false;              // new, demo
    std::chrono::milliseconds busyWait = kDefaultBusyWait;  // for another velmtape to finish
};

// The drive or the driver refused or failed: exit status 2.
struct Failure {
    std::string what;                   // "SetPosition failed" or a sentence of the tool's own
    std::optional<TAPE_STATUS> status;  // the request's status, when a request failed
    std::string hint;                   // what the user may do about it; may be empty
};

struct Outcome {
    nlohmann::json result = nlohmann::json::object();
    std::vector<std::string> lines;
    std::optional<Failure> failure;
    // With a failure on the side of the user's data file (standard output closed, a full
    // disk, an unreadable input): that file. It is the tool's own failure, exit status 1,
    // and the message is about the file instead of the cartridge.
    std::optional<std::string> failedFile;
};

// Commands that need no drive: they make the cartridge file. Throw ToolError.
Outcome CreateCartridge(const std::string& path, const CommandArgs& args);

// Every other command, on an opened session.
Outcome RunCommand(Session& session, const CommandArgs& args);

// The demonstration on a freshly created cartridge: files with filemarks, two partitions,
// moves between them, with status, position and parameters after each step.
Outcome RunDemo(Session& session);

// Names of every command (without aliases), for prefix matching.
const std::vector<std::string>& CommandNames();

// Shared with the data path: a byte count for people ("512.0 MB"), the media parameters
// (a failure recorded in the outcome), and the tape's position added to the outcome.
std::string Human(uint64_t bytes);
bool MediaParameters(Session& session, TAPE_GET_MEDIA_PARAMETERS& media, Outcome& out);
void ShowPosition(Session& session, Outcome& out);

}  // namespace tools
