// velmtape's data path as a user drives it: files, standard input and output, pipes and full
// devices at either end of `write` and `read`, through the built binary.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/tool/tool_run.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using tooltest::Slurp;
using tooltest::Spit;

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string Pattern(size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmtape-transfer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        tape_ = (dir_ / "t.tape").string();
        Ok({"new", "--capacity", "100"});
    }
    void TearDown() override { fs::remove_all(dir_); }

    // velmtape -f TAPE words..., standard input from `in` (a path, else /dev/null), standard
    // output into a file unless `out` names a path or descriptor of the test's.
    Result Velm(std::vector<std::string> words, const tooltest::Stream& in = {-1, "/dev/null"},
                tooltest::Stream out = {})
    {
        words.insert(words.begin(), {"-f", tape_});
        const std::string outPath = (dir_ / "stdout").string();
        const std::string errPath = (dir_ / "stderr").string();
        const bool captured = out.fd < 0 && out.path.empty();
        if (captured) {
            out.path = outPath;
        }
        Result run;
        run.exit = tooltest::Wait(tooltest::Start(words, dir_.string(), in, out, {-1, errPath}));
        run.out = captured ? Slurp(outPath) : "";
        run.err = Slurp(errPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return run;
    }

    std::string Ok(const std::vector<std::string>& words)
    {
        const Result run = Velm(words);
        EXPECT_EQ(run.exit, 0) << words.back() << ": " << run.err;
        return run.out;
    }

    // What the folder holds besides the cartridge, its lock and the files a test names.
    std::vector<std::string> Strays(const std::vector<std::string>& known)
    {
        std::vector<std::string> strays;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("t.tape", 0) != 0 &&
                std::find(known.begin(), known.end(), name) == known.end()) {
                strays.push_back(name);
            }
        }
        return strays;
    }

    // A tape file of `data` followed by a filemark, the tape rewound.
    void TapeFile(const std::string& data)
    {
        Spit(dir_ / "source", data);
        Ok({"write", "source"});
        Ok({"weof"});
        Ok({"rewind"});
    }

    fs::path dir_;
    std::string tape_;
};

TEST_F(Transfer, ReadToStandardOutputIsCleanData)
{
    const std::string data = Pattern(300000, 1);
    const std::string onTape = data + std::string(512 - data.size() % 512, '\0');
    TapeFile(data);
    struct Row {
        std::vector<std::string> words;
        std::string onStderr;
    };
    const std::vector<Row> rows = {
        {{"read", "-"}, "read 300032 bytes into standard output, stopped at filemark\n"},
        {{"--trace", "read", "-"}, "command: 08 01 00 08 00 00  READ(6)"},
        {{"--json", "read", "-"}, "\"stoppedAt\": \"filemark\""},
        {{"read", "/dev/stdout"}, "into standard output"},
    };
    for (const Row& row : rows) {
        Ok({"rewind"});
        const Result run = Velm(row.words);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_TRUE(run.out == onTape) << row.words[0] << ": " << run.out.size() << " bytes";
        EXPECT_THAT(run.err, HasSubstr(row.onStderr));
    }
}

TEST_F(Transfer, WriteFromStandardInputAndFromAPipe)
{
    const std::string data = Pattern(200000, 2);
    Spit(dir_ / "input", data);
    Ok({"setblk", "0"});
    EXPECT_THAT(Velm({"write", "-"}, {-1, (dir_ / "input").string()}).err, "");
    Ok({"weof"});

    // A named pipe is meant to stream: its writer hands the bytes over in small pieces, and
    // the blocks still come out whole.
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < data.size(); at += 1000) {
            const size_t n = std::min<size_t>(1000, data.size() - at);
            if (write(fd, data.data() + at, n) != static_cast<ssize_t>(n)) {
                break;
            }
        }
        close(fd);
    });
    const Result run = Velm({"write", "fifo"});
    writer.join();
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("wrote 200000 bytes from fifo as 4 blocks (variable length)"));
    Ok({"rewind"});
    Ok({"read", "first"});
    Ok({"read", "second"});
    EXPECT_TRUE(Slurp(dir_ / "first") == data);
    EXPECT_TRUE(Slurp(dir_ / "second") == data);
}

TEST_F(Transfer, FailedWriteOfTheDataExitsOneWithTheReason)
{
    TapeFile(Pattern(100000, 3));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);  // nobody reads: the first write finds the pipe broken
    struct Row {
        std::vector<std::string> words;
        tooltest::Stream out;
        std::string err;
    };
    const std::vector<Row> rows = {
        {{"read", "-"},
         {-1, "/dev/full"},
         "velmtape: standard output: cannot write after 0 "
         "bytes: No space left on device\n"},
        {{"read", "/dev/full"},
         {},
         "velmtape: /dev/full: cannot write after 0 bytes: No space "
         "left on device\n"},
        {{"read", "-"},
         {ends[1], ""},
         "velmtape: standard output: cannot write after 0 bytes: "
         "Broken pipe\n"},
    };
    for (const Row& row : rows) {
        Ok({"rewind"});
        const Result run = Velm(row.words, {-1, "/dev/null"}, row.out);
        EXPECT_EQ(run.exit, 1) << row.err;
        EXPECT_EQ(run.err, row.err);
    }
    close(ends[1]);
}

TEST_F(Transfer, FailedReadLeavesTheTargetAndNoTemporaries)
{
    // 3 MB of fixed blocks, then one odd variable block the fixed-size read cannot take: the
    // read fails after several chunks went into the new file.
    TapeFile(Pattern(3000000, 4));
    Ok({"fsf"});
    Ok({"bsf"});  // before the filemark, at the end of the data blocks
    Ok({"setblk", "0"});
    Spit(dir_ / "odd", "odd");
    Ok({"write", "odd"});
    Ok({"setblk", "512"});
    Ok({"rewind"});
    Spit(dir_ / "target", "the user's own bytes\n");
    ASSERT_EQ(chmod((dir_ / "target").c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat((dir_ / "target").c_str(), &before), 0);

    const Result run = Velm({"read", "target"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("read failed after 3000320 bytes"));
    EXPECT_EQ(Slurp(dir_ / "target"), "the user's own bytes\n");
    EXPECT_THAT(Strays({"target", "odd", "source"}), ::testing::IsEmpty());

    // A read that succeeds replaces the file and keeps its permissions.
    Ok({"setblk", "0"});
    Ok({"seek", "5860"});  // the odd block, then the filemark
    Ok({"read", "target"});
    EXPECT_EQ(Slurp(dir_ / "target"), "odd");
    struct stat after {};
    ASSERT_EQ(stat((dir_ / "target").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_THAT(Strays({"target", "odd", "source"}), ::testing::IsEmpty());
}

TEST_F(Transfer, FilesThatMayNotBeUsedAreRefusedBeforeTheTapeMoves)
{
    TapeFile(Pattern(5000, 5));
    Spit(dir_ / "mine", "mine\n");
    fs::create_symlink(dir_ / "mine", dir_ / "link");
    fs::create_hard_link(dir_ / "mine", dir_ / "twin");
    fs::create_directory(dir_ / "folder");
    struct Row {
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Row> rows = {
        {{"write", "/dev/zero"},
         "/dev/zero: is a character device, not a file or a pipe; velmtape puts only those on "
         "tape\n"},
        {{"write", "folder"}, "folder: cannot read: Is a directory\n"},
        {{"write", "missing"}, "missing: cannot open: No such file or directory\n"},
        {{"write", tape_}, tape_ + ": is the cartridge itself\n"},
        {{"write", tape_ + "/data"}, tape_ + "/data: is a file of the cartridge itself\n"},
        {{"read", "link"}, "link: is a symbolic link; velmtape does not write through links"},
        {{"read", "twin"}, "twin: has 2 hard links; a new file in its place would split them\n"},
        {{"read", "folder"}, "folder: cannot write: Is a directory\n"},
        {{"read", tape_}, tape_ + ": is the cartridge itself\n"},
        {{"read", tape_ + "/data"}, tape_ + "/data: is a file of the cartridge itself\n"},
        {{"read", "nowhere/file"},
         "nowhere/file: cannot create a file beside it: No such file or "
         "directory\n"},
    };
    for (const Row& row : rows) {
        const Result run = Velm(row.words);
        EXPECT_EQ(run.exit, 1) << row.words[1];
        EXPECT_THAT(run.err, HasSubstr(row.err));
        EXPECT_EQ(Ok({"tell"}), "partition 1, block 0\n") << row.words[1];
    }
    EXPECT_EQ(Slurp(dir_ / "mine"), "mine\n");
    EXPECT_THAT(Strays({"mine", "link", "twin", "folder", "source"}), ::testing::IsEmpty());
}

TEST_F(Transfer, InterruptedReadNamesNoFileAtAnyMoment)
{
    Ok({"setblk", "0"});  // one READ, and one stretch of trace, for each 64 KiB
    TapeFile(Pattern(4000000, 6));
    Spit(dir_ / "target", "kept\n");
    // The trace goes to a pipe that is nearly full and drained slowly, so the read is watched
    // while its new file is being written: the file has no name until it is complete.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'x');
    while (write(ends[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(fcntl(ends[1], F_SETFL, 0), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const pid_t pid =
        tooltest::Start({"-f", tape_, "--trace", "read", "target"}, dir_.string(),
                        {-1, "/dev/null"}, {ends[1], ""}, {-1, (dir_ / "stderr").string()});
    close(ends[1]);
    char drain[512];
    size_t drained = 0;
    constexpr size_t kSomeTrace = 16384;  // a few READs in, far from the end
    while (drained < kSomeTrace) {
        EXPECT_THAT(Strays({"target", "source", "stderr"}), ::testing::IsEmpty());
        const ssize_t got = read(ends[0], drain, sizeof(drain));
        if (got == 0) {
            break;
        }
        drained += got > 0 ? static_cast<size_t>(got) : 0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, SIGTERM);
    // Drain the rest so the child is not left blocked, then reap it.
    fcntl(ends[0], F_SETFL, 0);
    while (read(ends[0], drain, sizeof(drain)) > 0) {
    }
    close(ends[0]);
    EXPECT_GE(drained, kSomeTrace);
    EXPECT_EQ(tooltest::Wait(pid), 128 + SIGTERM);
    EXPECT_EQ(Slurp(dir_ / "target"), "kept\n");
    EXPECT_THAT(Strays({"target", "source", "stderr"}), ::testing::IsEmpty());
}

TEST_F(Transfer, ProgressOnATerminalShowsThroughput)
{
    // Standard error is a terminal; the input arrives with a pause long enough for a line.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string data = Pattern(3 << 20, 8);
    bool fed = false;
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        const size_t half = data.size() / 2;
        fed = fd >= 0 && write(fd, data.data(), half) == static_cast<ssize_t>(half);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        fed = fed && write(fd, data.data() + half, half) == static_cast<ssize_t>(half);
        close(fd);
    });
    const pid_t pid =
        tooltest::Start({"-f", tape_, "write", "fifo"}, dir_.string(), {-1, "/dev/null"},
                        {-1, (dir_ / "out").string()}, {-1, terminal});
    writer.join();
    EXPECT_TRUE(fed);
    EXPECT_EQ(tooltest::Wait(pid), 0);
    std::string shown;
    char buffer[4096];
    fcntl(master, F_SETFL, O_NONBLOCK);
    for (ssize_t n = 0; (n = read(master, buffer, sizeof(buffer))) > 0;) {
        shown.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    EXPECT_THAT(shown, ::testing::ContainsRegex("writing: [0-9.]+ MB, [0-9.]+ [kMG]?B/s"));
    EXPECT_THAT(Slurp(dir_ / "out"), HasSubstr("wrote 3145728 bytes from fifo"));
}

struct RoundTripRow {
    const char* blockSize;
    size_t length;
    std::string written;  // the summary's words about the blocks
};
class TransferRoundTrip : public Transfer, public ::testing::WithParamInterface<RoundTripRow> {};

TEST_P(TransferRoundTrip, TwentyMegabytesComeBackByteForByte)
{
    const RoundTripRow& row = GetParam();
    const std::string data = Pattern(row.length, 7);
    Spit(dir_ / "big", data);
    Ok({"setblk", row.blockSize});
    EXPECT_THAT(Ok({"write", "big"}), HasSubstr(row.written));
    Ok({"weof"});
    Ok({"rewind"});
    Ok({"read", "back"});
    const std::string back = Slurp(dir_ / "back");
    ASSERT_GE(back.size(), data.size());
    EXPECT_TRUE(back.compare(0, data.size(), data) == 0);
    EXPECT_EQ(back.substr(data.size()), std::string(back.size() - data.size(), '\0'));
    EXPECT_EQ(back.size(),
              std::stoul(row.blockSize) == 0 ? data.size() : (data.size() + 511) / 512 * 512);
}

TEST_F(Transfer, VariableReadTakesBlocksLongerThanItsFirstRoom)
{
    // Blocks of 3,000,000 bytes (written in fixed mode), read back as variable blocks: each
    // is longer than the room a read offers at first, which grows until it fits.
    const std::string data = Pattern(7000000, 9);
    Spit(dir_ / "big", data);
    Ok({"setblk", "3000000"});
    Ok({"write", "big"});
    Ok({"weof"});
    Ok({"setblk", "0"});
    Ok({"rewind"});
    EXPECT_THAT(Ok({"read", "back"}),
                HasSubstr("read 9000000 bytes into back, stopped at filemark\n"
                          "position:         partition 1, block 4\n"));
    EXPECT_TRUE(Slurp(dir_ / "back") == data + std::string(2000000, '\0'));
}

TEST_F(Transfer, RecordSizeCutsVariableBlocks)
{
    const std::string data = Pattern(25000, 3);
    Spit(dir_ / "source", data);
    Ok({"setblk", "0"});
    EXPECT_THAT(Ok({"write", "-r", "10240", "source"}),
                HasSubstr("wrote 25000 bytes from source as 3 blocks (variable length)"));
    Ok({"weof"});
    EXPECT_THAT(Ok({"map"}), HasSubstr("file 0: 3 blocks of 4520 to 10240 bytes, 25.0 kB"));
    Ok({"rewind"});
    Ok({"read", "back"});
    EXPECT_TRUE(Slurp(dir_ / "back") == data);
}

struct SizeRow {
    const char* drive;               // setblk
    std::vector<std::string> words;  // the transfer
    std::string message;             // stderr, whole
};

TEST_F(Transfer, ABlockSizeOtherThanTheDrivesSaysHowToSetIt)
{
    Spit(dir_ / "source", "twelve bytes");
    for (const SizeRow& row : {
             SizeRow{"512",
                     {"write", "-b", "1024", "source"},
                     "the drive's block size is 512 bytes, not 1024 bytes; give --block-size 512, "
                     "or 'setblk 1024' to set the drive to 1024-byte blocks"},
             SizeRow{"0",
                     {"read", "-b", "512", "back"},
                     "the drive's block size is variable, not 512 bytes; give --block-size 0 "
                     "(variable-length blocks), or 'setblk 512' to set the drive to 512-byte "
                     "blocks"},
             SizeRow{"512",
                     {"write", "-r", "100", "source"},
                     "--record-size sets the length of variable-length blocks; this write makes "
                     "512-byte blocks; 'setblk 0' sets the drive to variable-length blocks, or "
                     "give --block-size 0"},
         }) {
        Ok({"setblk", row.drive});
        const Result run = Velm(row.words);
        EXPECT_EQ(run.exit, 2) << row.message;
        EXPECT_EQ(run.err, "velmtape: " + tape_ + ": " + row.words[0] + ": " + row.message + "\n");
        EXPECT_THAT(Ok({"status"}), HasSubstr("File number=0, block number=0"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, TransferRoundTrip,
    ::testing::Values(RoundTripRow{"512", 20000001,
                                   "as 39063 blocks of 512 bytes, the last filled "
                                   "up with 255 zero bytes"},
                      RoundTripRow{"0", 20012345, "as 306 blocks (variable length)"}));

}  // namespace

// A tape file longer than a row of the index (8 MiB), a commit and the pieces a new file goes
// to the disk in: every byte back, whichever the block size and whether the file is new or
// replaced, and nothing left beside it.
TEST_F(Transfer, FilesOfSeveralRowsReadBackWhole)
{
    const std::string data = Pattern((19 << 20) + 512 * 3, 9);
    const struct {
        const char* blockSize;
        bool replaces;
    } rows[] = {{"512", false}, {"512", true}, {"0", false}, {"0", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.blockSize) + (row.replaces ? " replacing" : " new"));
        Ok({"new", "--capacity", "100", "--force"});
        Ok({"setblk", row.blockSize});
        TapeFile(data);
        fs::remove(dir_ / "target");
        if (row.replaces) {
            Spit(dir_ / "target", "an older file");
        }
        Ok({"read", "target"});
        EXPECT_TRUE(Slurp(dir_ / "target") == data) << "the bytes read back differ";
        EXPECT_THAT(Strays({"source", "target"}), ::testing::IsEmpty());
    }
}
