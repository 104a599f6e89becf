// velmtape's read on tgt beside the simulated drive, the same commands on both: what reaches
// standard output, byte for byte, and the exit status are the same; so are the words, except
// where tgt answers otherwise than SSC. Every run is bounded in time and in output.
#include <stdlib.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block_length.h"
#include "driver/velmdat.h"
#include "host/iscsi_target.h"
#include "tests/tool/tool_run.h"
#include "tgt_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kSeconds = 30;
constexpr rlim_t kOutputCap = rlim_t{16} << 20;  // past it, the read has run away

struct ReadRow {
    const char* name;
    bool fixed;                      // tgt's block length set to 512 first (the simulator's is)
    std::vector<std::string> setup;  // velmtape commands before the read, all ending well
    std::string read;                // data to standard output
    int exit;
    std::string bytes;     // all that reaches standard output
    const char* tgtWords;  // nullptr: the same words as on the simulated drive
    const char* tgtNote;   // what tgt's run says besides (nullptr: nothing)
};

void PrintTo(const ReadRow& row, std::ostream* os)
{
    *os << row.name;
}

const std::string kFirst = "twelve bytes";
std::string SecondFile()
{
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 % 251);
    }
    return bytes;
}
const std::string kSecond = SecondFile();
const std::string kOdd(1000, 'o');  // two fixed blocks, the second filled up with zeros

struct ToolRun {
    int exit = -1;
    std::string out;
    // velmtape's summary and failure lines, without the device's name or the tape's position
    std::string words;
    std::string err;
};

class VelmtapeReadTgt : public tgt::WithTgt<::testing::TestWithParam<ReadRow>> {
protected:
    void SetUp() override
    {
        WithTgt::SetUp();
        if (!Started()) {
            return;
        }
        char pattern[] = "/tmp/velmtape-read-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        tooltest::Spit(dir_ / "first", kFirst);
        tooltest::Spit(dir_ / "second", kSecond);
        tooltest::Spit(dir_ / "odd", kOdd);
    }
    void TearDown() override
    {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    ToolRun Velmtape(const std::string& device, const std::string& command)
    {
        std::vector<std::string> words{"-f", device};
        size_t at = 0;
        while (at < command.size()) {
            const size_t end = std::min(command.find(' ', at), command.size());
            words.push_back(command.substr(at, end - at));
            at = end + 1;
        }
        ToolRun run;
        run.exit = tooltest::RunBounded(words, dir_.string(), (dir_ / "out").string(),
                                        (dir_ / "err").string(), kSeconds, kOutputCap);
        run.out = tooltest::Slurp(dir_ / "out");
        run.err = tooltest::Slurp(dir_ / "err");
        size_t line = 0;
        while (line < run.err.size()) {
            const size_t end = std::min(run.err.find('\n', line), run.err.size());
            std::string text = run.err.substr(line, end - line);
            if (text.rfind("velmtape: ", 0) == 0 || text.rfind("read ", 0) == 0) {
                const size_t name = text.find(device);
                if (name != std::string::npos) {
                    text.erase(name, device.size());
                }
                // Where the tape stands is left out: tgt does not report its position.
                const size_t where = text.find("; the tape stands at ");
                if (where != std::string::npos) {
                    text.erase(where, text.find("; ", where + 2) - where);
                }
                run.words += text + "\n";
            }
            line = end + 1;
        }
        return run;
    }

    fs::path dir_;
};

TEST_P(VelmtapeReadTgt, SameBytesAndExitAsOnTheSimulatedDrive)
{
    const ReadRow& row = GetParam();
    const std::string url = daemon_.Url(1);
    if (row.fixed) {
        host::IscsiOptions options;
        options.url = url;
        std::string error;
        auto transport = host::IscsiTransport::Open(options, error);
        ASSERT_NE(transport, nullptr) << error;
        host::DeviceTarget target(std::move(transport));
        host::ClassDriver driver;
        ASSERT_TRUE(driver.Load(&DriverEntry));
        auto device = host::Device::Discover(driver, target);
        ASSERT_TRUE(device.has_value());
        const uint8_t tur[6] = {};  // the power-on report
        size_t moved = 0;
        device->Send(tur, sizeof(tur), host::Direction::None, nullptr, 0, moved);
        ASSERT_EQ(tgt::SelectBlockLength(*device, 512), TAPE_STATUS_SUCCESS);
    }
    ASSERT_EQ(Velmtape("sim.tape", "new --capacity 10").exit, 0);
    for (const std::string& step : row.setup) {
        for (const std::string& device : {std::string("sim.tape"), url}) {
            const ToolRun run = Velmtape(device, step);
            ASSERT_EQ(run.exit, 0) << device << " " << step << "\n" << run.err;
        }
    }
    const ToolRun sim = Velmtape("sim.tape", row.read);
    const ToolRun tgt = Velmtape(url, row.read);
    EXPECT_EQ(sim.exit, row.exit) << sim.err;
    EXPECT_EQ(tgt.exit, row.exit) << tgt.err;
    EXPECT_TRUE(sim.out == row.bytes) << sim.out.size() << " bytes on the simulated drive";
    EXPECT_TRUE(tgt.out == row.bytes) << tgt.out.size() << " bytes on tgt";
    if (row.tgtWords == nullptr) {
        EXPECT_EQ(tgt.words, sim.words) << tgt.err;
    } else {
        EXPECT_NE(tgt.words.find(row.tgtWords), std::string::npos) << tgt.err;
    }
    if (row.tgtNote != nullptr) {
        EXPECT_NE(tgt.err.find(row.tgtNote), std::string::npos) << tgt.err;
    }
}

constexpr const char* kNotWritten = "not written: the 262144 bytes the transport counted";

INSTANTIATE_TEST_SUITE_P(
    Reads, VelmtapeReadTgt,
    ::testing::Values(
        ReadRow{"EndOfDataVariable", false, {}, "read -b 0 -", 2, "", nullptr, kNotWritten},
        // tgt's fresh tape has no block length, and a fixed READ would bring zeros forever.
        ReadRow{"EndOfDataFixedWithoutBlockLength",
                false,
                {},
                "read -b 512 -",
                2,
                "",
                "the drive's block size is variable, not 512 bytes",
                nullptr},
        // tgt answers a fixed READ at end of data with MEDIUM ERROR and no residue.
        ReadRow{"EndOfDataFixed",
                true,
                {"write -b 512 odd"},
                "read -b 512 -",
                2,
                "",
                "without saying how much of it arrived; the transport counted 1048576: "
                "the drive could not read or write the tape there",
                nullptr},
        ReadRow{"AfterTheLastFilemark",
                false,
                {"write -b 0 first", "weof", "rewind", "read -b 0 back"},
                "read -b 0 -",
                2,
                "",
                nullptr,
                kNotWritten},
        ReadRow{"MeetsAFilemark",
                false,
                {"write -b 0 first", "write -b 0 second", "weof", "write -b 0 first", "rewind"},
                "read -b 0 -",
                0,
                kFirst + kSecond,
                nullptr,
                nullptr},
        ReadRow{"MeetsAFilemarkFixed",
                true,
                {"write -b 512 odd", "weof", "rewind"},
                "read -b 512 -",
                0,
                kOdd + std::string(24, '\0'),
                nullptr,
                nullptr},
        ReadRow{"EndOfDataAfterData",
                false,
                {"write -b 0 first", "rewind"},
                "read -b 0 -",
                0,
                kFirst,
                nullptr,
                kNotWritten}),
    [](const ::testing::TestParamInfo<ReadRow>& info) { return info.param.name; });

}  // namespace
