// The tape commands of velmtape, each carried out through the driver's requests and turned
// into a result for people (lines) and for scripts (JSON).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tapeclass.h"
#include "tools/session.h"

namespace tools {

struct CommandArgs {
    std::string command;                        // the full command name, aliases resolved
    uint32_t count = 1;                         // weof, wset and the space commands
    bool immediate = false;                     // return before the drive has finished
    uint32_t block = 0;                         // seek
    uint32_t partition = 0;                     // seek --partition, setpartition (1 or 2; 0 stays)
    bool absolute = false;                      // seek, tell
    uint32_t blockSize = 0;                     // setblk
    bool on = false;                            // compression, setmarks-report
    std::optional<uint32_t> sizeMb;             // mkpartition
    std::string file;                           // write, read
    std::optional<uint32_t> transferBlockSize;  // write, read --block-size (0: variable)
    std::optional<uint32_t> recordSize;         // write --record-size: variable blocks' length
    bool weof = false;                          // write --weof: a filemark after the data
    uint64_t capacityMb = 2048;                 // new
    bool writeProtected = false;                // new
    bool force = false;                         // new, demo
    std::chrono::milliseconds busyWait = kDefaultBusyWait;  // for another velmtape to finish
};

// The drive or the driver refused or failed: exit status 2.
// Said as "COMMAND: what: the drive's answer in words; where the tape stands; the next step".
struct Failure {
    Failure() = default;
    Failure(std::string what_, std::optional<TAPE_STATUS> status_, std::string hint_ = {},
            std::string where_ = {})
        : what(std::move(what_)), status(status_), hint(std::move(hint_)), where(std::move(where_))
    {
    }

    std::string what;                   // a sentence of the tool's own; empty: the answer says it
    std::optional<TAPE_STATUS> status;  // the request's status, when a request failed
    std::string hint;   // what the user may do about it; empty: the answer's usual next step
    std::string where;  // where the tape stands after it, when that was asked
};

// What one velmtape command came to: its JSON, its lines, or its failure.
struct CommandResult {
    nlohmann::json result = nlohmann::json::object();
    std::vector<std::string> lines;
    std::optional<Failure> failure;
    // With a failure on the side of the user's data file (standard output closed, a full
    // disk, an unreadable input): that file. It is the tool's own failure, exit status 1,
    // and the message is about the file instead of the cartridge.
    std::optional<std::string> failedFile;
};

// Makes the cartridge file (`new`): needs no drive. Throws ToolError.
CommandResult CreateCartridge(const std::string& path, const CommandArgs& args);

// The requests behind the commands. Each adds its lines and JSON to `out`, or records the
// failure there (and returns false where it says whether to go on).
bool Do(Session& session, host::Request request, void* record, CommandResult& out);
bool Fail(CommandResult& out, const std::string& what);
bool MediaParameters(Session& session, TAPE_GET_MEDIA_PARAMETERS& media, CommandResult& out);
// Where the tape stands, logical ({partition, block}) or absolute ({absolute}).
bool AskPosition(Session& session, bool absolute, nlohmann::json& position, CommandResult& out);
// Where the tape stands after a command that moved it.
void ShowPosition(Session& session, CommandResult& out);
// After a failed motion, read or write: where the tape stands, as the drive reports it and in
// counted files and blocks.
void ShowStop(Session& session, CommandResult& out);
// The cartridge file failed while the command ran (see Session::Abandon): the failure says
// why in the system's words and what of the command the file kept, and where the tape stands
// as the file records it. Damage is the tool's failure (exit 1), a failed write the drive's.
void CartridgeFailed(Session& session, const store::StoreError& error, CommandResult& out);
// Where the tape stands as the cartridge file records it, after the drive was abandoned.
void ShowRecordedStop(const store::DriveState& recorded, CommandResult& out);
void Status(Session& session, CommandResult& out);
void Params(Session& session, CommandResult& out);
void SetPosition(Session& session, ULONG method, int64_t offset, ULONG partition, bool immediate,
                 CommandResult& out, bool show = true);
bool CheckPartition(Session& session, uint32_t partition, CommandResult& out);
void Seek(Session& session, const CommandArgs& args, CommandResult& out);
void Tell(Session& session, bool absolute, CommandResult& out);
void WriteMarks(Session& session, ULONG type, const CommandArgs& args, CommandResult& out);
void Prepare(Session& session, ULONG operation, bool immediate, CommandResult& out);
void Erase(Session& session, bool immediate, CommandResult& out);
void SetBlock(Session& session, uint32_t size, CommandResult& out);
// Compression (`compression` true) or setmark reporting on or off; the other keeps its value.
void SetDriveFlag(Session& session, bool compression, bool on, CommandResult& out);
void MakePartitions(Session& session, std::optional<uint32_t> sizeMb, CommandResult& out);
// The simulated cartridge's write-protect tab, in the drive or out of it.
void Protect(Session& session, bool on, CommandResult& out);

}  // namespace tools
