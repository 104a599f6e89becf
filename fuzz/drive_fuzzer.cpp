// The simulated drive fed fuzzed command blocks, data-out bytes, buffer lengths and operator
// actions. Every answer must be GOOD or CHECK CONDITION with well-formed fixed sense, no
// transfer may exceed the buffer, the medium model must stay one the drive could hold (and
// save), commands that only look must leave the recorded data alone, and a command the drive
// refuses must change nothing at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/cartridge_check.h"
#include "fuzz/fuzz_check.h"
#include "sim/drive.h"

namespace {

constexpr unsigned kMaxActions = 24;
constexpr size_t kMaxFuzzedLength = 600;
constexpr size_t kMaxNaturalLength = 4096;
constexpr std::array<uint8_t, 17> kOpcodes = {0x00, 0x01, 0x03, 0x05, 0x08, 0x0A, 0x10, 0x11, 0x12,
                                              0x15, 0x19, 0x1A, 0x1B, 0x1E, 0x2B, 0x34, 0x4D};

sim::Direction DirectionFor(uint8_t opcode)
{
    switch (opcode) {
    case 0x0A:
    case 0x15:
        return sim::Direction::Out;
    case 0x03:
    case 0x05:
    case 0x08:
    case 0x12:
    case 0x1A:
    case 0x34:
    case 0x4D:
        return sim::Direction::In;
    default:
        return sim::Direction::None;
    }
}

// The length the command block itself asks for.
size_t NaturalLength(const std::vector<uint8_t>& cdb, uint32_t blockLength)
{
    auto at = [&cdb](size_t i) -> size_t { return i < cdb.size() ? cdb[i] : 0; };
    switch (at(0)) {
    case 0x03:
    case 0x12:
    case 0x1A:
    case 0x15:
        return at(4);
    case 0x05:
        return 6;
    case 0x34:
        return 20;
    case 0x4D:
        return (at(7) << 8) | at(8);
    case 0x08:
    case 0x0A: {
        const size_t count = (at(2) << 16) | (at(3) << 8) | at(4);
        const size_t bytes = (at(1) & 1) != 0 ? count * blockLength : count;
        return std::min(bytes, kMaxNaturalLength);
    }
    default:
        return 0;
    }
}

// Commands that read or report and never record anything on the tape.
bool LeavesDataAlone(uint8_t opcode)
{
    switch (opcode) {
    case 0x00:
    case 0x01:
    case 0x03:
    case 0x05:
    case 0x08:
    case 0x11:
    case 0x12:
    case 0x1A:
    case 0x1E:
    case 0x2B:
    case 0x34:
    case 0x4D:
        return true;
    default:
        return false;
    }
}

bool SameData(const sim::Cartridge& a, const sim::Cartridge& b)
{
    if (a.partitions.size() != b.partitions.size()) {
        return false;
    }
    for (size_t p = 0; p < a.partitions.size(); ++p) {
        const auto& x = a.partitions[p].objects;
        const auto& y = b.partitions[p].objects;
        if (a.partitions[p].capacityBytes != b.partitions[p].capacityBytes ||
            !std::equal(x.begin(), x.end(), y.begin(), y.end(),
                        [](const sim::TapeObject& l, const sim::TapeObject& r) {
                            return l.kind == r.kind && l.data == r.data;
                        })) {
            return false;
        }
    }
    return true;
}

void CheckAnswer(const sim::Result& r, const std::vector<uint8_t>& cdb, sim::Direction direction,
                 size_t length)
{
    FUZZ_CHECK_MSG(r.status == sim::kStatusGood || r.status == sim::kStatusCheckCondition,
                   "status 0x%02X", r.status);
    FUZZ_CHECK(r.transferred <= length);
    if (direction == sim::Direction::None) {
        FUZZ_CHECK(r.transferred == 0);
    }
    if (r.status == sim::kStatusGood) {
        FUZZ_CHECK(r.sense.empty());
        return;
    }
    FUZZ_CHECK_MSG(r.sense.size() == 18, "sense of %zu bytes", r.sense.size());
    FUZZ_CHECK((r.sense[0] & 0x7F) == 0x70);
    FUZZ_CHECK(r.sense[7] == 10);
    const uint8_t key = r.sense[2] & 0x0F;
    std::string text;
    for (uint8_t b : cdb) {
        text += std::to_string(b) + " ";
    }
    text += "-> sense " + std::to_string(r.sense[2]) + "/" + std::to_string(r.sense[12]) + "/" +
            std::to_string(r.sense[13]);
    // CHECK CONDITION that reports nothing would tell the initiator nothing.
    FUZZ_CHECK_MSG(key != 0 || (r.sense[2] & 0xE0) != 0, "NO SENSE without a mark bit: %s",
                   text.c_str());
    // An illegal request says why, and only it carries a field pointer.
    FUZZ_CHECK_MSG(key != 0x05 || r.sense[12] != 0, "%s", text.c_str());
    FUZZ_CHECK_MSG((r.sense[15] & 0x80) == 0 || key == 0x05, "%s", text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    sim::Options options;
    options.refuseCompressionPage = fdp.ConsumeIntegralInRange<int>(0, 7) == 0;
    options.modeSenseShortBy = fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? 3 : 0;
    options.immediateOperationCommands = fdp.ConsumeIntegralInRange<unsigned>(0, 2);
    options.unitAttentionAtPowerOn = fdp.ConsumeBool();
    std::optional<sim::Cartridge> cartridge;
    switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        break;  // an empty drive
    case 1:
        cartridge = sim::Cartridge::Blank();
        break;
    default:  // a small tape, so that its end is within reach
        cartridge = sim::Cartridge::Blank(fdp.ConsumeIntegralInRange<uint64_t>(0, 20000));
        break;
    }
    sim::Drive drive(options, cartridge);

    for (unsigned n = 0; n < kMaxActions && fdp.remaining_bytes() > 0; ++n) {
        const unsigned action = fdp.ConsumeIntegralInRange<unsigned>(0, 24);
        if (action == 20) {
            drive.InsertCartridge(sim::Cartridge::Blank(fdp.ConsumeIntegral<uint16_t>()));
        } else if (action == 21) {
            drive.RemoveCartridge();
        } else if (action == 22) {
            drive.PowerCycle();
        } else if (action == 23) {
            drive.SetWriteProtected(fdp.ConsumeBool());
        } else if (action == 24) {
            sim::Fault fault;
            fault.senseKey = fdp.ConsumeIntegralInRange<uint8_t>(1, 0x0E);
            fault.asc = fdp.ConsumeIntegralInRange<uint8_t>(1, 0xFF);  // a reason, as drives give
            fault.losePosition = fdp.ConsumeBool();
            drive.InjectFault(fault);
        } else {
            // A command: mostly a known operation code at its own length.
            const uint8_t opcode =
                fdp.ConsumeBool()
                    ? kOpcodes[fdp.ConsumeIntegralInRange<size_t>(0, kOpcodes.size() - 1)]
                    : fdp.ConsumeIntegral<uint8_t>();
            const size_t group = opcode < 0x20 ? 6 : opcode < 0x60 ? 10 : 12;
            const size_t cdbLength = fdp.ConsumeIntegralInRange<int>(0, 7) == 0
                                         ? fdp.ConsumeIntegralInRange<size_t>(1, 16)
                                         : group;
            std::vector<uint8_t> cdb(cdbLength, 0);
            cdb[0] = opcode;
            const std::vector<uint8_t> rest = fdp.ConsumeBytes<uint8_t>(cdbLength - 1);
            std::copy(rest.begin(), rest.end(), cdb.begin() + 1);
            if (opcode == 0x10 && cdbLength >= 4) {
                // Marks take no room in the model but memory in the simulator: keep counts
                // below 1024 so each input runs in milliseconds, not minutes.
                cdb[2] = 0;
                cdb[3] &= 0x03;
            }
            const sim::Direction direction =
                fdp.ConsumeIntegralInRange<int>(0, 15) == 0
                    ? static_cast<sim::Direction>(fdp.ConsumeIntegralInRange<int>(0, 2))
                    : DirectionFor(opcode);
            size_t length = 0;
            if (direction != sim::Direction::None) {
                length = fdp.ConsumeIntegralInRange<int>(0, 3) != 0
                             ? NaturalLength(cdb, drive.settings().blockLength)
                             : fdp.ConsumeIntegralInRange<size_t>(0, kMaxFuzzedLength);
            }
            // Exactly `length` bytes on the heap: the drive may not touch a byte more.
            std::unique_ptr<uint8_t[]> buffer(length > 0 ? new uint8_t[length]() : nullptr);
            if (direction == sim::Direction::Out) {
                const std::vector<uint8_t> out = fdp.ConsumeBytes<uint8_t>(length);
                std::copy(out.begin(), out.end(), buffer.get());
            }
            const std::optional<sim::Cartridge> before = drive.CurrentCartridge();
            const sim::DriveSettings settingsBefore = drive.settings();
            const bool loadedBefore = drive.Loaded();
            const sim::Result r =
                drive.Execute(cdb.data(), cdb.size(), direction, buffer.get(), length);
            CheckAnswer(r, cdb, direction, length);
            const std::optional<sim::Cartridge> after = drive.CurrentCartridge();
            FUZZ_CHECK(before.has_value() == after.has_value());
            const uint8_t key = r.status == sim::kStatusCheckCondition ? r.sense[2] & 0x0F : 0;
            const bool refused = key == 0x02 || key == 0x05 || key == 0x06 || key == 0x0B;
            if (refused) {
                FUZZ_CHECK_MSG(!after || *after == *before,
                               "opcode 0x%02X refused with %X/%02X/%02X changed the tape", opcode,
                               key, r.sense[12], r.sense[13]);
                FUZZ_CHECK_MSG(drive.settings() == settingsBefore,
                               "opcode 0x%02X refused with %X/%02X/%02X changed the settings",
                               opcode, key, r.sense[12], r.sense[13]);
                FUZZ_CHECK(drive.Loaded() == loadedBefore);
            }
            if (after && LeavesDataAlone(opcode)) {
                FUZZ_CHECK_MSG(SameData(*before, *after), "opcode 0x%02X changed recorded data",
                               opcode);
            }
        }
        if (const auto now = drive.CurrentCartridge()) {
            fuzzcheck::CheckCartridge(*now);
        }
    }
    return 0;
}
