// One contract for every medium: after the same writes, the in-memory tape and the cartridge
// database answer every question exactly as a plain list of objects does, and a drive on
// either gives the same answers to the same SPACE, LOCATE and READ commands.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/drive.h"
#include "store/cartridge_db.h"

namespace {

namespace fs = std::filesystem;
using sim::ObjectKind;

constexpr uint64_t kTape = 4000000;

// A medium under test with what keeps it alive.
struct Holder {
    std::unique_ptr<store::CartridgeDb> db;
    std::unique_ptr<sim::Medium> medium;
    fs::path dir;
    ~Holder()
    {
        medium.reset();
        db.reset();
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }
};

using Factory = std::function<void(Holder&)>;

void Memory(Holder& h)
{
    h.medium = std::make_unique<sim::MemoryMedium>(sim::Cartridge::Blank(kTape));
}

void Database(Holder& h)
{
    char pattern[] = "/tmp/medium-contract-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    h.dir = pattern;
    h.db =
        store::CartridgeDb::Create((h.dir / "t").string(), sim::Cartridge::Blank(kTape), false, {});
    h.medium = h.db->Medium();
}

// The reference: every object in order.
struct Reference {
    std::vector<sim::ObjectInfo> objects;
    uint64_t Marks(uint64_t from, uint64_t to, ObjectKind kind) const
    {
        uint64_t n = 0;
        for (uint64_t a = from; a < to; ++a) {
            n += objects[a].kind == kind ? 1 : 0;
        }
        return n;
    }
};

class MediumContract : public ::testing::TestWithParam<std::pair<const char*, Factory>> {};

TEST_P(MediumContract, AnswersAsAPlainListOfObjects)
{
    Holder h;
    GetParam().second(h);
    ASSERT_TRUE(h.medium);
    sim::Medium& m = *h.medium;
    std::mt19937 random(7);  // NOLINT(cert-msc32-c,cert-msc51-cpp): a repeatable sequence
    Reference ref;
    std::vector<std::vector<uint8_t>> bytes;  // per object, for blocks
    for (int step = 0; step < 300; ++step) {
        const int what = static_cast<int>(random() % 10);
        if (what < 5) {
            const uint32_t length = 1 + random() % 3 * 100;
            const uint64_t count = 1 + random() % 5;
            std::vector<uint8_t> data(length * count);
            for (auto& b : data) {
                b = static_cast<uint8_t>(random());
            }
            m.AppendBlocks(0, data.data(), length, count);
            for (uint64_t i = 0; i < count; ++i) {
                ref.objects.push_back({ObjectKind::Block, length});
                bytes.emplace_back(data.begin() + i * length, data.begin() + (i + 1) * length);
            }
        } else if (what < 8) {
            const ObjectKind kind = what == 7 ? ObjectKind::Setmark : ObjectKind::Filemark;
            const uint64_t count = 1 + random() % 3;
            m.AppendMarks(0, kind, count);
            for (uint64_t i = 0; i < count; ++i) {
                ref.objects.push_back({kind, 0});
                bytes.emplace_back();
            }
        } else if (!ref.objects.empty()) {
            const uint64_t at = random() % (ref.objects.size() + 1);
            m.TruncateAt(0, at);
            ref.objects.resize(at);
            bytes.resize(at);
        }
    }
    const uint64_t end = ref.objects.size();
    ASSERT_EQ(m.EndOfData(0), end);
    uint64_t used = 0;
    for (uint64_t a = 0; a < end; ++a) {
        const sim::ObjectInfo info = m.At(0, a);
        ASSERT_EQ(info.kind, ref.objects[a].kind) << a;
        ASSERT_EQ(info.length, ref.objects[a].length) << a;
        if (info.kind == ObjectKind::Block) {
            std::vector<uint8_t> block(info.length);
            ASSERT_TRUE(m.ReadBlock(0, a, block.data())) << a;
            ASSERT_EQ(block, bytes[a]) << a;
            used += info.length;
        }
    }
    EXPECT_EQ(m.UsedBytes(0), used);
    for (const ObjectKind kind : {ObjectKind::Filemark, ObjectKind::Setmark}) {
        for (uint64_t from = 0; from <= end; from += 3) {
            for (const uint64_t count : {1, 2, 5, 40}) {
                // Forward: the count-th mark at or after `from`.
                uint64_t seen = 0;
                std::optional<uint64_t> expect;
                for (uint64_t a = from; a < end && !expect; ++a) {
                    if (ref.objects[a].kind == kind && ++seen == count) {
                        expect = a;
                    }
                }
                sim::MarkSearch got = m.FindMark(0, from, true, kind, count);
                ASSERT_EQ(got.address, expect) << from << " " << count;
                ASSERT_EQ(got.passed, expect ? count : seen);
                // Back: the count-th mark before `from`.
                seen = 0;
                expect.reset();
                for (uint64_t a = from; a > 0 && !expect; --a) {
                    if (ref.objects[a - 1].kind == kind && ++seen == count) {
                        expect = a - 1;
                    }
                }
                got = m.FindMark(0, from, false, kind, count);
                ASSERT_EQ(got.address, expect) << from << " " << count;
                ASSERT_EQ(got.passed, expect ? count : seen);
            }
            ASSERT_EQ(m.CountMarks(0, from, end, kind), ref.Marks(from, end, kind));
            // Windows of consecutive marks: the first at or after `from`, the last ending at
            // or before it, each by its first address.
            for (const uint64_t run : {1, 2, 3}) {
                const auto whole = [&](uint64_t start) {
                    return start + run <= end && ref.Marks(start, start + run, kind) == run;
                };
                std::optional<uint64_t> forward;
                for (uint64_t a = from; a < end && !forward; ++a) {
                    forward = whole(a) ? std::optional(a) : std::nullopt;
                }
                std::optional<uint64_t> back;
                for (uint64_t e = from; e >= run && !back; --e) {
                    back = whole(e - run) ? std::optional(e - run) : std::nullopt;
                }
                ASSERT_EQ(m.FindMarkRun(0, from, true, kind, run), forward) << from << " " << run;
                ASSERT_EQ(m.FindMarkRun(0, from, false, kind, run), back) << from << " " << run;
            }
        }
    }
    // Runs of blocks of one length come back together and stop at anything else.
    for (uint64_t from = 0; from < end; ++from) {
        const uint32_t length = ref.objects[from].length == 0 ? 1 : ref.objects[from].length;
        uint64_t expect = 0;
        while (from + expect < end && expect < 4 &&
               ref.objects[from + expect].kind == ObjectKind::Block &&
               ref.objects[from + expect].length == length) {
            ++expect;
        }
        std::vector<uint8_t> out(size_t{4} * length);
        ASSERT_EQ(m.ReadBlocks(0, from, length, 4, out.data()), expect) << from;
        for (uint64_t i = 0; i < expect; ++i) {
            ASSERT_TRUE(std::equal(bytes[from + i].begin(), bytes[from + i].end(),
                                   out.begin() + i * length));
        }
    }
}

TEST_P(MediumContract, FormatLaysOutPartitionsAndLosesEverything)
{
    Holder h;
    GetParam().second(h);
    sim::Medium& m = *h.medium;
    const uint8_t block[4] = {1, 2, 3, 4};
    m.AppendBlocks(0, block, 4, 1);
    m.AppendMarks(0, ObjectKind::Filemark, 2);
    m.Format({1000, 3000});
    ASSERT_EQ(m.PartitionCount(), 2u);
    EXPECT_EQ(m.PartitionCapacity(0), 1000u);
    EXPECT_EQ(m.PartitionCapacity(1), 3000u);
    for (uint32_t p = 0; p < 2; ++p) {
        EXPECT_EQ(m.EndOfData(p), 0u);
        EXPECT_EQ(m.UsedBytes(p), 0u);
        EXPECT_FALSE(m.FindMark(p, 0, true, ObjectKind::Filemark, 1).address);
    }
    m.AppendMarks(1, ObjectKind::Setmark, 3);
    EXPECT_EQ(m.EndOfData(0), 0u);
    EXPECT_EQ(m.EndOfData(1), 3u);
    EXPECT_EQ(m.FindMark(1, 3, false, ObjectKind::Setmark, 3).address, 0u);
}

INSTANTIATE_TEST_SUITE_P(Media, MediumContract,
                         ::testing::Values(std::make_pair("memory", Factory(Memory)),
                                           std::make_pair("database", Factory(Database))),
                         [](const auto& info) { return std::string(info.param.first); });

// The same commands on a drive over each medium give the same bytes back.
TEST(DriveOnBothMedia, SameAnswersToTheSameCommands)
{
    Holder memory;
    Memory(memory);
    Holder database;
    Database(database);
    sim::DriveSettings settings;
    settings.reportSetmarks = true;
    sim::Drive a({}, std::move(memory.medium), 0, 0, settings);
    sim::Drive b({}, std::move(database.medium), 0, 0, settings);
    std::mt19937 random(11);  // NOLINT(cert-msc32-c,cert-msc51-cpp): a repeatable sequence
    std::vector<uint8_t> data(size_t{512} * 8);
    for (auto& byte : data) {
        byte = static_cast<uint8_t>(random());
    }
    for (int step = 0; step < 2000; ++step) {
        uint8_t cdb[10] = {};
        std::vector<uint8_t> buffer;
        sim::Direction direction = sim::Direction::None;
        switch (random() % 6) {
        case 0:  // WRITE of 1 to 8 fixed blocks
            cdb[0] = 0x0A;
            cdb[1] = 0x01;
            cdb[4] = static_cast<uint8_t>(1 + random() % 8);
            buffer.assign(data.begin(), data.begin() + ptrdiff_t{512} * cdb[4]);
            direction = sim::Direction::Out;
            break;
        case 1:  // WRITE FILEMARKS or SETMARKS
            cdb[0] = 0x10;
            cdb[1] = random() % 3 == 0 ? 0x02 : 0x00;
            cdb[4] = static_cast<uint8_t>(random() % 3);
            break;
        case 2:  // SPACE, any code but end of data, either direction
        case 3: {
            cdb[0] = 0x11;
            cdb[1] = static_cast<uint8_t>(random() % 6);
            const int32_t count = static_cast<int32_t>(random() % 9) - 4;
            cdb[2] = static_cast<uint8_t>(count >> 16);
            cdb[3] = static_cast<uint8_t>(count >> 8);
            cdb[4] = static_cast<uint8_t>(count);
            break;
        }
        case 4:  // READ of up to 8 fixed blocks
            cdb[0] = 0x08;
            cdb[1] = 0x01;
            cdb[4] = static_cast<uint8_t>(1 + random() % 8);
            buffer.assign(size_t{512} * cdb[4], 0);
            direction = sim::Direction::In;
            break;
        default:  // LOCATE somewhere near
            cdb[0] = 0x2B;
            cdb[6] = static_cast<uint8_t>(random() % 64);
            break;
        }
        std::vector<uint8_t> other = buffer;
        const sim::Result ra = a.Execute(cdb, 10, direction, buffer.data(), buffer.size());
        const sim::Result rb = b.Execute(cdb, 10, direction, other.data(), other.size());
        ASSERT_EQ(ra.status, rb.status) << step;
        ASSERT_EQ(ra.sense, rb.sense) << step;
        ASSERT_EQ(ra.transferred, rb.transferred) << step;
        ASSERT_EQ(buffer, other) << step;
        ASSERT_EQ(a.Position(), b.Position()) << step;
    }
}

}  // namespace
