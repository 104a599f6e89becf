// The same requests through the driver on the simulated drive and on tgt, step by step: spacing
// past end of data, backward over filemarks into the beginning of the tape, reading to and past
// marks and end of data. Every outcome is equal, or one of tgt's known departures from SSC in
// the table below; any other difference fails, and so does a departure that no longer shows.
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block_length.h"
#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "host/iscsi_target.h"
#include "host/names.h"
#include "host/readwrite.h"
#include "host/sim_target.h"
#include "sim/drive.h"
#include "tgt_fixture.h"

namespace {

constexpr uint32_t kFixed = 512;
constexpr size_t kRoom = 262144;  // the room velmtape offers a variable block at first

enum class Op {
    Rewind,
    SpaceFilemarks,
    SpaceBlocks,
    SpaceEndOfData,
    ReadVariable,
    ReadFixed,
    BlockLength,
};

struct Step {
    Op op;
    LONG count;  // marks or blocks to space, bytes (variable) or blocks (fixed) to read
};

std::string Label(const Step& step)
{
    const std::string n = std::to_string(step.count < 0 ? -step.count : step.count);
    switch (step.op) {
    case Op::Rewind:
        return "rewind";
    case Op::SpaceFilemarks:
        return (step.count < 0 ? "bsf " : "fsf ") + n;
    case Op::SpaceBlocks:
        return (step.count < 0 ? "bsr " : "fsr ") + n;
    case Op::SpaceEndOfData:
        return "eod";
    case Op::ReadVariable:
        return "read " + n;
    case Op::ReadFixed:
        return "read " + n + "x512";
    case Op::BlockLength:
        return "block length " + n;
    }
    return "?";
}

struct Outcome {
    std::string text;  // the status, and for a read the bytes the drive vouched for
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return bytes;
}

// One drive behind the driver: the request, the class driver's READ and WRITE, its own MODE
// SELECT of the block length (tgt takes one only with PF set, which the driver never sends).
class Peer {
public:
    explicit Peer(std::unique_ptr<host::Target> target, std::unique_ptr<sim::Drive> drive = nullptr)
        : drive_(std::move(drive)), target_(std::move(target))
    {
        if (driver_.Load(&DriverEntry)) {
            device_ = host::Device::Discover(driver_, *target_);
        }
        if (device_) {
            const uint8_t tur[6] = {};  // the power-on report, as the tool's device start takes it
            size_t moved = 0;
            device_->Send(tur, sizeof(tur), host::Direction::None, nullptr, 0, moved);
        }
    }
    bool Ready() const { return device_.has_value(); }

    TAPE_STATUS Space(ULONG method, LONG count)
    {
        TAPE_SET_POSITION position{};
        position.Method = method;
        position.Offset.QuadPart = count;
        return device_->Run(host::Request::SetPosition, &position);
    }

    TAPE_STATUS SetBlockLength(uint32_t length) { return tgt::SelectBlockLength(*device_, length); }

    // File 1: variable blocks of 3000 and 100 bytes; file 2: one of 512; file 3: four fixed
    // blocks of 512; then two more fixed blocks and end of data, with no filemark after them.
    bool Record()
    {
        TAPE_WRITE_MARKS mark{};
        mark.Type = TAPE_FILEMARKS;
        mark.Count = 1;
        const auto write = [&](size_t length, uint8_t seed, uint32_t blockSize) {
            const std::vector<uint8_t> data = Pattern(length, seed);
            return host::WriteBlocks(*device_, data.data(), data.size(), blockSize).status ==
                   TAPE_STATUS_SUCCESS;
        };
        const auto filemark = [&] {
            return device_->Run(host::Request::WriteMarks, &mark) == TAPE_STATUS_SUCCESS;
        };
        return write(3000, 1, 0) && write(100, 2, 0) && filemark() && write(512, 3, 0) &&
               filemark() && SetBlockLength(kFixed) == TAPE_STATUS_SUCCESS &&
               write(size_t{4} * kFixed, 4, kFixed) && filemark() &&
               write(size_t{2} * kFixed, 5, kFixed);
    }

    Outcome Do(const Step& step)
    {
        TAPE_STATUS status = TAPE_STATUS_SUCCESS;
        Outcome outcome;
        switch (step.op) {
        case Op::Rewind:
            status = Space(TAPE_REWIND, 0);
            break;
        case Op::SpaceFilemarks:
            status = Space(TAPE_SPACE_FILEMARKS, step.count);
            break;
        case Op::SpaceBlocks:
            status = Space(TAPE_SPACE_RELATIVE_BLOCKS, step.count);
            break;
        case Op::SpaceEndOfData:
            status = Space(TAPE_SPACE_END_OF_DATA, 0);
            break;
        case Op::BlockLength:
            status = SetBlockLength(static_cast<uint32_t>(step.count));
            break;
        case Op::ReadVariable:
        case Op::ReadFixed: {
            const uint32_t blockSize = step.op == Op::ReadFixed ? kFixed : 0;
            std::vector<uint8_t> buffer(static_cast<size_t>(step.count) * (blockSize ? kFixed : 1));
            const host::ReadResult read =
                host::ReadBlocks(*device_, buffer.data(), buffer.size(), blockSize);
            status = read.status;
            outcome.data.assign(buffer.begin(), buffer.begin() + read.bytes);
            break;
        }
        }
        outcome.text = std::string(host::TapeStatusName(status)).substr(12);  // no TAPE_STATUS_
        if (step.op == Op::ReadVariable || step.op == Op::ReadFixed) {
            outcome.text += ", " + std::to_string(outcome.data.size()) + " bytes";
        }
        return outcome;
    }

private:
    std::unique_ptr<sim::Drive> drive_;  // the simulated drive outlives its target
    std::unique_ptr<host::Target> target_;
    host::ClassDriver driver_;
    std::optional<host::Device> device_;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

const std::vector<Sequence> kSequences = {
    {"past end of data",
     {{Op::Rewind, 0},
      {Op::SpaceBlocks, 3},
      {Op::ReadVariable, 512},
      {Op::SpaceFilemarks, 5},
      {Op::SpaceBlocks, 1},
      {Op::SpaceFilemarks, 1},
      {Op::SpaceEndOfData, 0},
      {Op::ReadVariable, kRoom}}},
    {"back into the beginning",
     {{Op::SpaceEndOfData, 0},
      {Op::SpaceFilemarks, -1},
      {Op::ReadVariable, 512},
      {Op::SpaceFilemarks, -4},
      {Op::ReadVariable, 3000},
      {Op::SpaceBlocks, -2},
      {Op::ReadVariable, 3000}}},
    {"reading to and past marks and end of data",
     {{Op::Rewind, 0},
      {Op::ReadVariable, 3000},
      {Op::ReadVariable, 100},
      {Op::ReadVariable, kRoom},
      {Op::ReadVariable, kRoom},
      {Op::ReadVariable, kRoom},
      {Op::ReadFixed, 8},
      {Op::ReadFixed, 8},
      {Op::ReadFixed, 8},
      {Op::ReadVariable, kRoom},
      {Op::ReadVariable, kRoom}}},
    {"a fixed read without a block length",
     {{Op::BlockLength, 0}, {Op::SpaceEndOfData, 0}, {Op::ReadFixed, 8}, {Op::BlockLength, 512}}},
};

// tgt's departures from SSC, each where a sequence meets it: the simulated drive's outcome
// beside tgt's. The step counts from 0.
struct Departure {
    const char* sequence;
    size_t step;
    const char* sim;
    const char* tgt;
    const char* why;
};

const std::vector<Departure> kDepartures = {
    {"past end of data", 1, "FILEMARK_DETECTED", "SUCCESS",
     "SPACE blocks counts a filemark as a block"},
    {"past end of data", 3, "NO_DATA_DETECTED", "IO_DEVICE_ERROR",
     "SPACE that meets end of data answers NO SENSE 00/05 without a residue, not BLANK CHECK"},
    {"past end of data", 4, "NO_DATA_DETECTED", "IO_DEVICE_ERROR", "the same, spacing blocks"},
    {"past end of data", 5, "NO_DATA_DETECTED", "IO_DEVICE_ERROR", "the same, at end of data"},
    {"back into the beginning", 2, "FILEMARK_DETECTED, 0 bytes", "SUCCESS, 512 bytes",
     "backward SPACE filemarks stops on the far side of the mark, so the READ after it reads "
     "the block beyond"},
    {"back into the beginning", 3, "BEGINNING_OF_MEDIA", "IO_DEVICE_ERROR",
     "SPACE filemarks that meets the beginning answers NO SENSE 00/04 without EOM or residue"},
    {"back into the beginning", 5, "BEGINNING_OF_MEDIA", "SUCCESS",
     "SPACE blocks that meets the beginning answers GOOD"},
    {"reading to and past marks and end of data", 4, "SUCCESS, 512 bytes",
     "INVALID_BLOCK_LENGTH, 512 bytes",
     "a variable READ longer than the block answers ILI although SILI is set; the residue "
     "gives the block"},
    {"reading to and past marks and end of data", 7, "NO_DATA_DETECTED, 1024 bytes",
     "DEVICE_DATA_ERROR, 0 bytes",
     "a fixed READ that meets end of data answers MEDIUM ERROR 31/00 without a residue, so the "
     "blocks before it are not vouched for"},
    {"reading to and past marks and end of data", 8, "NO_DATA_DETECTED, 0 bytes",
     "DEVICE_DATA_ERROR, 0 bytes", "the same, at end of data"},
    {"a fixed read without a block length", 2, "INVALID_DEVICE_REQUEST, 0 bytes",
     "SUCCESS, 4096 bytes",
     "a fixed READ while the block length is 0 answers GOOD with a whole transfer of zeros, "
     "not ILLEGAL REQUEST"},
};

using PeerTgt = tgt::WithTgt<>;

TEST_F(PeerTgt, SequencesEndAlikeOrAsTgtIsKnownToDepart)
{
    auto drive = std::make_unique<sim::Drive>();
    auto simTarget = std::make_unique<host::SimTarget>(*drive);
    Peer sim(std::move(simTarget), std::move(drive));
    host::IscsiOptions options;
    options.url = daemon_.Url(1);
    std::string error;
    auto transport = host::IscsiTransport::Open(options, error);
    ASSERT_NE(transport, nullptr) << error;
    Peer tgt(std::make_unique<host::DeviceTarget>(std::move(transport)));
    ASSERT_TRUE(sim.Ready() && tgt.Ready());
    ASSERT_TRUE(sim.Record());
    ASSERT_TRUE(tgt.Record());

    std::vector<bool> met(kDepartures.size(), false);
    std::string table = "| sequence | step | simulated drive | tgt |\n|---|---|---|---|\n";
    for (const Sequence& sequence : kSequences) {
        for (size_t i = 0; i < sequence.steps.size(); ++i) {
            const Step& step = sequence.steps[i];
            const Outcome onSim = sim.Do(step);
            const Outcome onTgt = tgt.Do(step);
            table += std::string("| ") + sequence.name + " | " + Label(step) + " | " + onSim.text +
                     " | " + onTgt.text + " |\n";
            const std::string where = std::string(sequence.name) + ", step " + std::to_string(i) +
                                      " (" + Label(step) + ")";
            if (onSim.text == onTgt.text) {
                EXPECT_EQ(onSim.data, onTgt.data) << where << ": the bytes differ";
                continue;
            }
            bool known = false;
            for (size_t d = 0; d < kDepartures.size(); ++d) {
                const Departure& departure = kDepartures[d];
                if (departure.sequence == std::string(sequence.name) && departure.step == i &&
                    onSim.text == departure.sim && onTgt.text == departure.tgt) {
                    known = met[d] = true;
                }
            }
            EXPECT_TRUE(known) << where << ": simulated drive " << onSim.text << ", tgt "
                               << onTgt.text;
        }
    }
    for (size_t d = 0; d < kDepartures.size(); ++d) {
        EXPECT_TRUE(met[d]) << "no longer seen: " << kDepartures[d].sequence << ", step "
                            << kDepartures[d].step << ": " << kDepartures[d].why;
    }
    std::cout << table;
}

}  // namespace
