// The simulated drive's long moves, timed through sim::Drive::Execute as the host sends them:
// SPACE over a million filemarks, LOCATE four million objects in, and SPACE to a run of
// consecutive filemarks, on each medium the drive can hold the tape in.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/media.h"
#include "host/scsi.h"
#include "sim/drive.h"

namespace {

using host::MakeCdb6;
constexpr uint8_t kSpaceFilemarks = 1;
constexpr uint8_t kSpaceSequentialFilemarks = 2;
constexpr size_t kLocateAddressByte = 3;  // LOCATE(10): 32 bits

// Sizes, chosen by the benchmark's first argument: the full figures, or the short mode's.
struct Sizes {
    uint32_t filemarks;      // SPACE over this many
    uint32_t blocksBetween;  // data blocks before each filemark
    uint32_t sequentialRun;  // N consecutive filemarks sought
    uint32_t sequentialObjects;
};
constexpr Sizes kFull{1000000, 3, 1000, 100000};
constexpr Sizes kShort{10000, 3, 100, 10000};
const Sizes& SizesFor(int64_t full)
{
    return full != 0 ? kFull : kShort;
}

void Command(sim::Drive& drive, const host::Cdb6& cdb, const uint8_t* data = nullptr,
             size_t dataLength = 0)
{
    const size_t length = cdb.size();
    const sim::Result result = drive.Execute(
        cdb.data(), length, data != nullptr ? sim::Direction::Out : sim::Direction::None,
        const_cast<uint8_t*>(data), dataLength);
    if (result.status != sim::kStatusGood) {
        throw std::runtime_error("setup command " + std::to_string(cdb[0]) + " failed");
    }
}

void Filemarks(sim::Drive& drive, uint32_t count)
{
    Command(drive, MakeCdb6(host::kOpWriteFilemarks, 0, count));
}

void Blocks(sim::Drive& drive, uint32_t count, const std::vector<uint8_t>& block)
{
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < count; ++i) {
        data.insert(data.end(), block.begin(), block.end());
    }
    Command(drive, MakeCdb6(host::kOpWrite6, host::kRwFixed, count), data.data(), data.size());
}

void Rewind(sim::Drive& drive)
{
    Command(drive, MakeCdb6(host::kOpRewind, 0, 0));
}

// A tape of `filemarks` files, each `blocksBetween` blocks of the drive's default length and a
// filemark: SPACE over all the filemarks passes every object, LOCATE reaches the last. Written
// once per medium and size, for both benchmarks (on a database it takes minutes).
bench::LoadedDrive& FilesTape(const std::string& medium, const Sizes& sizes)
{
    static std::map<std::pair<std::string, const Sizes*>, std::unique_ptr<bench::LoadedDrive>>
        tapes;
    std::unique_ptr<bench::LoadedDrive>& loaded = tapes[{medium, &sizes}];
    if (loaded == nullptr) {
        loaded = std::make_unique<bench::LoadedDrive>(medium);
        sim::Drive& drive = loaded->drive();
        const std::vector<uint8_t> block(sim::kDefaultBlockLength, 0x5A);
        for (uint32_t i = 0; i < sizes.filemarks; ++i) {
            Blocks(drive, sizes.blocksBetween, block);
            Filemarks(drive, 1);
        }
    }
    Rewind(loaded->drive());
    loaded->Settle();
    return *loaded;
}

// Times one command that moves the tape, each time from the beginning of the partition.
void TimeMoveFromStart(benchmark::State& state, sim::Drive& drive, const uint8_t* cdb,
                       size_t cdbLength, const char* failed)
{
    for (auto _ : state) {
        const sim::Result result = drive.Execute(cdb, cdbLength, sim::Direction::None, nullptr, 0);
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        if (result.status != sim::kStatusGood) {
            state.SkipWithError(failed);
            break;
        }
        Rewind(drive);
        state.ResumeTiming();
    }
}

void Space(benchmark::State& state)
{
    const std::string medium = bench::MediumNames()[static_cast<size_t>(state.range(0))];
    const Sizes& sizes = SizesFor(state.range(1));
    sim::Drive* const drive = &FilesTape(medium, sizes).drive();
    const uint32_t n = sizes.filemarks;
    const host::Cdb6 space = MakeCdb6(host::kOpSpace, kSpaceFilemarks, n);
    TimeMoveFromStart(state, *drive, space.data(), space.size(), "SPACE failed");
    state.SetLabel(medium + ": SPACE over " + std::to_string(n) + " filemarks");
}

void Locate(benchmark::State& state)
{
    const std::string medium = bench::MediumNames()[static_cast<size_t>(state.range(0))];
    const Sizes& sizes = SizesFor(state.range(1));
    sim::Drive* const drive = &FilesTape(medium, sizes).drive();
    const uint32_t block = sizes.filemarks * (sizes.blocksBetween + 1);
    std::array<uint8_t, 10> locate{host::kOpLocate10};
    host::PutBe32(&locate[kLocateAddressByte], block);
    TimeMoveFromStart(state, *drive, locate.data(), locate.size(), "LOCATE failed");
    state.SetLabel(medium + ": LOCATE to block " + std::to_string(block));
}

// Blocks and filemarks alternating, then the run of N consecutive filemarks at the end: the
// search passes every object before it.
void SpaceSequential(benchmark::State& state)
{
    const std::string medium = bench::MediumNames()[static_cast<size_t>(state.range(0))];
    const Sizes& sizes = SizesFor(state.range(1));
    bench::LoadedDrive loaded(medium);
    sim::Drive* const drive = &loaded.drive();
    const uint32_t pairs = (sizes.sequentialObjects - sizes.sequentialRun) / 2;
    const std::vector<uint8_t> block(sim::kDefaultBlockLength, 0xA5);
    for (uint32_t i = 0; i < pairs; ++i) {
        Blocks(*drive, 1, block);
        Filemarks(*drive, 1);
    }
    Filemarks(*drive, sizes.sequentialRun);
    Rewind(*drive);
    loaded.Settle();
    const uint32_t n = sizes.sequentialRun;
    const host::Cdb6 space = MakeCdb6(host::kOpSpace, kSpaceSequentialFilemarks, n);
    TimeMoveFromStart(state, *drive, space.data(), space.size(),
                      "SPACE to consecutive filemarks failed");
    const uint64_t passed = uint64_t(pairs) * 2 + n;
    state.SetLabel(medium + ": SPACE to " + std::to_string(n) + " consecutive filemarks over " +
                   std::to_string(passed) + " objects");
}

void Register()
{
    for (size_t m = 0; m < bench::MediumNames().size(); ++m) {
        for (const int64_t full : {0, 1}) {
            const std::string suffix =
                "/" + bench::MediumNames()[m] + (full != 0 ? "/full" : "/short");
            benchmark::RegisterBenchmark(("SpaceFilemarks" + suffix).c_str(), Space)
                ->Args({static_cast<int64_t>(m), full})
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Locate" + suffix).c_str(), Locate)
                ->Args({static_cast<int64_t>(m), full})
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("SpaceSequentialFilemarks" + suffix).c_str(),
                                         SpaceSequential)
                ->Args({static_cast<int64_t>(m), full})
                ->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
