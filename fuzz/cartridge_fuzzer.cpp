// The cartridge file decoder fed arbitrary files: it must refuse them with a reason or load a
// cartridge that is consistent, reloads unchanged, and that a drive can power on with and
// answer about. Half the inputs get a valid header and checksum so the payload parser is
// reached; the checksum is computed with zlib, independently of the simulator's own.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/cartridge_check.h"
#include "fuzz/fuzz_check.h"
#include "sim/drive.h"

namespace {

void PutBe(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A powered-on drive with the cartridge answers the questions the driver asks first.
void AskDrive(const sim::Cartridge& cartridge)
{
    sim::Drive drive(sim::Options{}, cartridge);
    const std::vector<std::vector<uint8_t>> cdbs = {
        {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0},        // READ POSITION
        {0x1A, 0, 0x3F, 0, 0xFF, 0},              // MODE SENSE(6), all pages
        {0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x24, 0},  // LOG SENSE, capacity
        {0x08, 0x01, 0, 0, 1, 0},                 // READ(6) one fixed block
        {0x11, 0x03, 0, 0, 0, 0},                 // SPACE to end of data
    };
    for (const auto& cdb : cdbs) {
        std::vector<uint8_t> data(cdb[0] == 0x08 ? 0x10000 : 255);
        const sim::Direction direction = cdb[0] == 0x11 ? sim::Direction::None : sim::Direction::In;
        const size_t length = direction == sim::Direction::None ? 0 : data.size();
        const sim::Result r = drive.Execute(cdb.data(), cdb.size(), direction,
                                            length ? data.data() : nullptr, length);
        FUZZ_CHECK(r.status == sim::kStatusGood || r.status == sim::kStatusCheckCondition);
        FUZZ_CHECK(r.transferred <= length);
        if (cdb[0] == 0x4D && r.status == sim::kStatusGood && r.transferred >= 36) {
            // Remaining capacity never exceeds the maximum, partition by partition.
            auto value = [&data](size_t at) {
                return (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) |
                       (uint32_t{data[at + 2]} << 8) | uint32_t{data[at + 3]};
            };
            FUZZ_CHECK(value(8) <= value(24) && value(16) <= value(32));
        }
    }
    const auto after = drive.CurrentCartridge();
    FUZZ_CHECK(after.has_value());
    fuzzcheck::CheckCartridge(*after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::vector<uint8_t> file;
    if ((data[0] & 1) != 0) {
        file.assign(data + 1, data + size);  // the bytes as they came
    } else {
        const uint8_t* payload = data + 1;
        const size_t length = size - 1;
        const char magic[] = "VELMCART";
        file.assign(magic, magic + 8);
        PutBe(file, 1, 4);
        PutBe(file, length, 8);
        PutBe(file, crc32(0L, payload, static_cast<uInt>(length)), 4);
        file.insert(file.end(), payload, payload + length);
    }
    std::string error;
    const auto cartridge = sim::DecodeCartridge(file, error);
    if (!cartridge) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    fuzzcheck::CheckCartridge(*cartridge);
    AskDrive(*cartridge);
    return 0;
}
