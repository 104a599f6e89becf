// A record of one request as the class driver ran it: every call of the miniclass with
// its status, every command with its block, time-out, flags and data, and every answer.
// Printable as text for people and as JSON for tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/names.h"  // the decoders its text uses, for those who print it
#include "host/target.h"
#include "platform/tapeclass.h"

namespace host {

struct CallEvent {
    ULONG callNumber = 0;
    TAPE_STATUS lastStatus = TAPE_STATUS_SUCCESS;
    TAPE_STATUS returned = TAPE_STATUS_SUCCESS;
    ULONG retryFlags = 0;  // the word as the routine left it
};

struct AllocationEvent {
    ULONG size = 0;
    bool granted = false;
};

struct CommandEvent {
    std::vector<uint8_t> cdb;  // CdbLength bytes
    uint32_t timeoutSeconds = 0;
    uint32_t srbFlags = 0;
    uint32_t dataTransferLength = 0;
    Direction direction = Direction::None;
    std::vector<uint8_t> dataOut;  // the bytes sent, for data-out commands
    bool readinessCheck = false;   // the class driver's own TEST UNIT READY
};

struct AnswerEvent {
    bool transportFailed = false;
    uint8_t scsiStatus = kScsiGood;
    std::vector<uint8_t> sense;  // as delivered into the request block's sense buffer
    size_t transferred = 0;
    std::vector<uint8_t> dataIn;                   // the bytes that arrived, for data-in commands
    bool malformed = false;                        // the target broke the rules (see note)
    std::string note;                              // why, when malformed or otherwise noteworthy
    TAPE_STATUS translated = TAPE_STATUS_SUCCESS;  // from the sense, before TapeError
    TAPE_STATUS refined = TAPE_STATUS_SUCCESS;     // after TapeError
};

struct TranscriptEvent {
    enum class Kind { Call, Allocation, Command, Answer, Note };
    Kind kind = Kind::Note;
    CallEvent call;
    AllocationEvent allocation;
    CommandEvent command;
    AnswerEvent answer;
    std::string note;
};

class Transcript {
public:
    void Begin(const std::string& requestName);
    void Add(TranscriptEvent event);
    void End(TAPE_STATUS finalStatus);

    const std::string& request() const { return request_; }
    const std::vector<TranscriptEvent>& events() const { return events_; }
    TAPE_STATUS finalStatus() const { return final_; }

    // Convenience views for tests and tools.
    std::vector<CommandEvent> Commands(bool includeReadiness = true) const;
    std::vector<CallEvent> Calls() const;

    std::string Text() const;
    nlohmann::json Json() const;

private:
    std::string request_;
    std::vector<TranscriptEvent> events_;
    TAPE_STATUS final_ = TAPE_STATUS_SUCCESS;
};

}  // namespace host
