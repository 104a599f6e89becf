// A small bench around sim::Drive for the simulator's own tests: commands built from the host
// side's vocabulary, answers decoded from the fixed-format sense the drive returns.
#pragma once

#include <cstdint>
#include <vector>

#include "host/scsi.h"
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
        return Out(Cdb(host::MakeCdb6(host::kOpWrite6, host::kRwFixed, count)), data);
    }
    sim::Result WriteVariable(std::vector<uint8_t> data)
    {
        const auto n = data.size();
        return Out(Cdb(host::MakeCdb6(host::kOpWrite6, 0, static_cast<uint32_t>(n))),
                   std::move(data));
    }
    sim::Result Filemarks(uint32_t count)
    {
        return Run(Cdb(host::MakeCdb6(host::kOpWriteFilemarks, 0, count)));
    }
    sim::Result Setmarks(uint32_t count)
    {
        return Run(Cdb(host::MakeCdb6(host::kOpWriteFilemarks, host::kWriteFilemarksWsmk, count)));
    }
    sim::Result Rewind() { return Run(Cdb(host::MakeCdb6(host::kOpRewind, 0, 0))); }
    // Logical position in the current partition, from READ POSITION.
    uint32_t Position()
    {
        std::vector<uint8_t> out;
        In({host::kOpReadPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 20, out);
        return out.size() == 20 ? host::GetBe32(&out[4]) : 0xFFFFFFFF;
    }

    static std::vector<uint8_t> Cdb(const host::Cdb6& cdb) { return {cdb.begin(), cdb.end()}; }
};

inline uint8_t Key(const sim::Result& r)
{
    return r.sense.size() > host::kSenseKeyByte ? r.sense[host::kSenseKeyByte] & host::kSenseKeyMask
                                                : 0xFF;
}
inline uint8_t Flags(const sim::Result& r)
{
    return r.sense.size() > host::kSenseKeyByte
               ? r.sense[host::kSenseKeyByte] &
                     (host::kSenseFilemark | host::kSenseEom | host::kSenseIli)
               : 0xFF;
}
inline uint8_t Asc(const sim::Result& r)
{
    return r.sense.size() > host::kSenseAscByte ? r.sense[host::kSenseAscByte] : 0xFF;
}
inline uint8_t Ascq(const sim::Result& r)
{
    return r.sense.size() > host::kSenseAscqByte ? r.sense[host::kSenseAscqByte] : 0xFF;
}
inline bool Valid(const sim::Result& r)
{
    return !r.sense.empty() && (r.sense[0] & host::kSenseValid);
}
inline int32_t Info(const sim::Result& r)
{
    return r.sense.size() >= host::kSenseInformationByte + 4
               ? static_cast<int32_t>(host::GetBe32(&r.sense[host::kSenseInformationByte]))
               : 0;
}
