// A target that answers from a script, for tests and fuzzers: replies are given out in the
// order they were pushed, one per command (the class driver's readiness checks included),
// and every command received is kept for inspection.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "host/target.h"

namespace host {

struct Reply {
    uint8_t status = kScsiGood;
    std::vector<uint8_t> sense;         // given with CHECK CONDITION
    std::vector<uint8_t> dataIn;        // copied into the command's buffer, data-in commands
    std::optional<size_t> transferred;  // reported count; default: the bytes actually copied
    bool transportFailed = false;

    static Reply Good() { return Reply{}; }
    static Reply Data(std::vector<uint8_t> bytes);
    // CHECK CONDITION with 18 bytes of fixed-format sense; flags go into the upper bits of
    // byte 2 (0x80 filemark, 0x40 end of medium, 0x20 incorrect length).
    static Reply Check(uint8_t senseKey, uint8_t asc, uint8_t ascq, uint8_t flags = 0,
                       std::optional<int32_t> information = std::nullopt);
};

struct Received {
    std::vector<uint8_t> cdb;
    Direction direction = Direction::None;
    size_t dataLength = 0;
    std::vector<uint8_t> dataOut;
    uint32_t timeoutSeconds = 0;
};

class ScriptedTarget : public Target {
public:
    // Answer to INQUIRY (opcode 0x12) when no reply is queued; standard inquiry bytes.
    std::vector<uint8_t> inquiry;

    void Push(Reply reply) { replies_.push_back(std::move(reply)); }
    ScsiAnswer Execute(const ScsiCommand& command) override;

    const std::vector<Received>& received() const { return received_; }
    size_t pending() const { return replies_.size(); }
    void Clear()
    {
        received_.clear();
        replies_.clear();
    }

    // 36 bytes of standard inquiry data for a sequential-access device.
    static std::vector<uint8_t> InquiryData(const char* vendor8, const char* product16);

private:
    std::deque<Reply> replies_;
    std::vector<Received> received_;
};

}  // namespace host
