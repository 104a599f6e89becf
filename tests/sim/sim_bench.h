// A small bench around sim::Drive for the simulator's own tests: commands as literal CDB
// bytes, answers decoded from the fixed-format sense the drive returns.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/drive.h"

struct Bench {
    sim::Drive drive;

    explicit Bench(sim::Options options = {},
                   std::optional<sim::Cartridge> cartridge = sim::Cartridge{})
        : drive(std::move(options), std::move(cartridge))
    {
    }

    sim::Result Run(std::vector<uint8_t> cdb)
    {
        return drive.Execute(cdb.data(), cdb.size(), sim::Direction::None, nullptr, 0);
    }
    sim::Result In(std::vector<uint8_t> cdb, size_t length, std::vector<uint8_t>& out)
    {
        out.assign(length, 0xEE);
        sim::Result r =
            drive.Execute(cdb.data(), cdb.size(), sim::Direction::In, out.data(), length);
        out.resize(r.transferred);
        return r;
    }
    sim::Result Out(std::vector<uint8_t> cdb, std::vector<uint8_t> data)
    {
        return drive.Execute(cdb.data(), cdb.size(), sim::Direction::Out, data.data(), data.size());
    }

    // Fixed-mode WRITE(6) of `count` blocks of the current length, each filled with `fill`+i.
    sim::Result WriteFixed(uint32_t count, uint32_t blockLength = 512, uint8_t fill = 0)
    {
        std::vector<uint8_t> data;
        for (uint32_t i = 0; i < count; ++i) {
            data.insert(data.end(), blockLength, static_cast<uint8_t>(fill + i));
        }
        return Out({0x0A, 0x01, uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), 0},
                   data);
    }
    sim::Result WriteVariable(std::vector<uint8_t> data)
    {
        const auto n = data.size();
        return Out({0x0A, 0x00, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0}, std::move(data));
    }
    sim::Result Filemarks(uint32_t count)
    {
        return Run({0x10, 0x00, 0x00, 0x00, uint8_t(count), 0});
    }
    sim::Result Setmarks(uint32_t count)
    {
        return Run({0x10, 0x02, 0x00, 0x00, uint8_t(count), 0});
    }
    sim::Result Rewind() { return Run({0x01, 0, 0, 0, 0, 0}); }
    // Logical position in the current partition, from READ POSITION.
    uint32_t Position()
    {
        std::vector<uint8_t> out;
        In({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
        return out.size() == 20 ? (uint32_t(out[4]) << 24) | (uint32_t(out[5]) << 16) |
                                      (uint32_t(out[6]) << 8) | out[7]
                                : 0xFFFFFFFF;
    }
};

inline uint8_t Key(const sim::Result& r)
{
    return r.sense.size() > 2 ? r.sense[2] & 0x0F : 0xFF;
}
inline uint8_t Flags(const sim::Result& r)
{
    return r.sense.size() > 2 ? r.sense[2] & 0xE0 : 0xFF;
}
inline uint8_t Asc(const sim::Result& r)
{
    return r.sense.size() > 12 ? r.sense[12] : 0xFF;
}
inline uint8_t Ascq(const sim::Result& r)
{
    return r.sense.size() > 13 ? r.sense[13] : 0xFF;
}
inline bool Valid(const sim::Result& r)
{
    return !r.sense.empty() && (r.sense[0] & 0x80);
}
inline int32_t Info(const sim::Result& r)
{
    return r.sense.size() > 6
               ? static_cast<int32_t>((uint32_t(r.sense[3]) << 24) | (uint32_t(r.sense[4]) << 16) |
                                      (uint32_t(r.sense[5]) << 8) | r.sense[6])
               : 0;
}
