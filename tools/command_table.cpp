// The table of velmtape's commands: one row each, with its names, help, arguments and handler.
#include "tools/command_table.h"

#include <algorithm>

#include "tools/transfer.h"

namespace tools {
namespace {

// The driver's own limits, so a count is refused with its rule before anything is sent.
constexpr int64_t kSpaceForwardMax = 8388607;     // SPACE carries a signed 24-bit count
constexpr int64_t kSpaceBackwardMax = 8388608;    // ... which reaches one further backward
constexpr int64_t kMarkCountMax = 16777215;       // WRITE FILEMARKS carries 24 bits
constexpr int64_t kBlockLengthMax = 16777215;     // the block descriptor's 24-bit length
constexpr int64_t kBlockAddressMax = 4294967295;  // LOCATE's 32-bit block address
constexpr int64_t kPartitionSizeMaxMb = 65535;    // the partition page's 16-bit size field
constexpr int64_t kCapacityMaxMb = 1000000;       // a simulated cartridge of up to 1 TB

ArgSpec Count(const char* help, int64_t max)
{
    ArgSpec arg{ArgKind::Number, "N", help, "count"};
    arg.max = max;
    arg.store = [](CommandArgs& a, int64_t v) { a.count = static_cast<uint32_t>(v); };
    return arg;
}

ArgSpec Flag(const char* name, const char* help, bool CommandArgs::*flag)
{
    ArgSpec arg{ArgKind::Flag, name, help};
    arg.flag = flag;
    return arg;
}

const ArgSpec kImmediate = Flag(
    "--immediate", "Return as soon as the drive has accepted the command", &CommandArgs::immediate);
const ArgSpec kForce = Flag("--force", "Replace an existing cartridge", &CommandArgs::force);

ArgSpec OnOff()
{
    return ArgSpec{ArgKind::OnOff, "on|off", "on or off (also 1 or 0)", "state", true};
}

ArgSpec FileArg(const char* help)
{
    return ArgSpec{ArgKind::File, "FILE", help, "file", true};
}

void Space(Session& session, ULONG method, int64_t count, CommandResult& out)
{
    SetPosition(session, method, count, 0, false, out);
}

int64_t Count(const CommandArgs& args)
{
    return static_cast<int64_t>(args.count);
}

std::vector<CommandSpec> MakeTable()
{
    ArgSpec block{ArgKind::Number, "BLOCK", "Block address", "block address", true};
    block.max = kBlockAddressMax;
    block.store = [](CommandArgs& a, int64_t v) { a.block = static_cast<uint32_t>(v); };
    ArgSpec seekPartition{ArgKind::Number, "-p,--partition",
                          "Partition 1 or 2 to locate in (default 0: the current one)",
                          "partition"};
    seekPartition.max = 2;
    seekPartition.store = [](CommandArgs& a, int64_t v) { a.partition = static_cast<uint32_t>(v); };
    ArgSpec seekAbsolute =
        Flag("--absolute", "BLOCK is the drive's absolute block address", &CommandArgs::absolute);
    seekAbsolute.excludes = "--partition";
    seekAbsolute.excludesWhy = "an absolute block address is the same in every partition";
    ArgSpec blockSize{ArgKind::Number, "N", "Block size in bytes", "block size", true};
    blockSize.max = kBlockLengthMax;
    blockSize.store = [](CommandArgs& a, int64_t v) { a.blockSize = static_cast<uint32_t>(v); };
    ArgSpec transferBlock{ArgKind::Number, "-b,--block-size",
                          "Block size in bytes for this transfer, 0 for variable-length blocks "
                          "(default: the drive's; needed when the drive does not report it)",
                          "block size"};
    transferBlock.max = kBlockLengthMax;
    transferBlock.store = [](CommandArgs& a, int64_t v) {
        a.transferBlockSize = static_cast<uint32_t>(v);
    };
    ArgSpec recordSize{ArgKind::Number, "-r,--record-size",
                       "Bytes in each variable-length block (default 65536; tar's -b 20 is "
                       "10240), the last block fewer",
                       "record size"};
    recordSize.min = 1;
    recordSize.max = kBlockLengthMax;
    recordSize.store = [](CommandArgs& a, int64_t v) { a.recordSize = static_cast<uint32_t>(v); };
    ArgSpec sizeMb{ArgKind::Number, "SIZE_MB", "Size of partition 1 in megabytes (10^6 bytes)",
                   "size"};
    sizeMb.min = 1;
    sizeMb.max = kPartitionSizeMaxMb;
    sizeMb.store = [](CommandArgs& a, int64_t v) { a.sizeMb = static_cast<uint32_t>(v); };
    ArgSpec partition{ArgKind::Number, "P", "Partition 1 or 2", "partition", true};
    partition.min = 1;
    partition.max = 2;
    partition.store = [](CommandArgs& a, int64_t v) { a.partition = static_cast<uint32_t>(v); };
    ArgSpec capacity{ArgKind::Number, "--capacity",
                     "Capacity in megabytes (10^6 bytes), default 2048", "capacity"};
    capacity.min = 1;
    capacity.max = kCapacityMaxMb;
    capacity.store = [](CommandArgs& a, int64_t v) { a.capacityMb = static_cast<uint64_t>(v); };

    return {
        {"status",
         {},
         "Medium, write protection, block size, partitions, position, capacity, compression, "
         "setmark reporting and feature flags",
         {},
         [](Session& s, const CommandArgs&, CommandResult& o) { Status(s, o); }},
        {"load",
         {},
         "Insert and load the cartridge",
         {kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             s.InsertForLoad();
             Prepare(s, TAPE_LOAD, a.immediate, o);
         }},
        {"unload",
         {{"offline", {}}, {"eject", {}}, {"rewoffl", {}}},
         "Unload and eject the cartridge (refused while locked)",
         {kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Prepare(s, TAPE_UNLOAD, a.immediate, o);
         }},
        {"lock",
         {},
         "Prevent removal of the cartridge",
         {},
         [](Session& s, const CommandArgs&, CommandResult& o) { Prepare(s, TAPE_LOCK, false, o); }},
        {"unlock",
         {},
         "Allow removal of the cartridge",
         {},
         [](Session& s, const CommandArgs&, CommandResult& o) {
             Prepare(s, TAPE_UNLOCK, false, o);
         }},
        {"rewind",
         {},
         "Rewind to the beginning of the current partition",
         {kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetPosition(s, TAPE_REWIND, 0, 0, a.immediate, o);
         }},
        {"erase",
         {},
         "Erase from the current position to the end of the partition (long erase)",
         {kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) { Erase(s, a.immediate, o); }},
        {"weof",
         {{"eof", {}}},
         "Write N filemarks",
         {Count("Number of filemarks (default 1, at most 16777215)", kMarkCountMax), kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             WriteMarks(s, TAPE_FILEMARKS, a, o);
         }},
        {"wset",
         {{"smk", {}}},
         "Write N setmarks",
         {Count("Number of setmarks (default 1, at most 16777215)", kMarkCountMax), kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             WriteMarks(s, TAPE_SETMARKS, a, o);
         }},
        {"fsf",
         {},
         "Space forward over N filemarks",
         {Count("Number of filemarks (default 1, at most 8388607)", kSpaceForwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_FILEMARKS, Count(a), o);
         }},
        {"bsf",
         {},
         "Space backward over N filemarks",
         {Count("Number of filemarks (default 1, at most 8388608)", kSpaceBackwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_FILEMARKS, -Count(a), o);
         }},
        {"fsfm",
         {},
         "Space forward over N filemarks, then back over the last (before it)",
         {Count("Number of filemarks (default 1, at most 8388607)", kSpaceForwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetPosition(s, TAPE_SPACE_FILEMARKS, Count(a), 0, false, o, false);
             if (!o.failure) {
                 Space(s, TAPE_SPACE_FILEMARKS, -1, o);
             }
         }},
        {"bsfm",
         {},
         "Space backward over N filemarks, then forward over the last (after it)",
         {Count("Number of filemarks (default 1, at most 8388608)", kSpaceBackwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetPosition(s, TAPE_SPACE_FILEMARKS, -Count(a), 0, false, o, false);
             if (!o.failure) {
                 Space(s, TAPE_SPACE_FILEMARKS, 1, o);
             }
         }},
        {"asf",
         {},
         "Rewind, then space forward over N filemarks: the beginning of tape file N",
         {Count("Tape file number (default 1, at most 8388607)", kSpaceForwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetPosition(s, TAPE_REWIND, 0, 0, false, o, a.count == 0);
             if (!o.failure && a.count > 0) {
                 Space(s, TAPE_SPACE_FILEMARKS, Count(a), o);
             }
         }},
        {"fsr",
         {},
         "Space forward over N blocks",
         {Count("Number of blocks (default 1, at most 8388607)", kSpaceForwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_RELATIVE_BLOCKS, Count(a), o);
         }},
        {"bsr",
         {},
         "Space backward over N blocks",
         {Count("Number of blocks (default 1, at most 8388608)", kSpaceBackwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_RELATIVE_BLOCKS, -Count(a), o);
         }},
        {"fss",
         {},
         "Space forward over N setmarks",
         {Count("Number of setmarks (default 1, at most 8388607)", kSpaceForwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_SETMARKS, Count(a), o);
         }},
        {"bss",
         {},
         "Space backward over N setmarks",
         {Count("Number of setmarks (default 1, at most 8388608)", kSpaceBackwardMax)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             Space(s, TAPE_SPACE_SETMARKS, -Count(a), o);
         }},
        {"eod",
         {{"eom", {}}, {"seod", {}}},
         "Space to the end of recorded data",
         {},
         [](Session& s, const CommandArgs&, CommandResult& o) {
             Space(s, TAPE_SPACE_END_OF_DATA, 0, o);
         }},
        {"seek",
         {{"setspos", {}}, {"sethpos", {"--absolute"}}},
         "Locate a block: logical (in a partition) or --absolute",
         {block, seekPartition, seekAbsolute, kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) { Seek(s, a, o); }},
        {"tell",
         {{"rdspos", {}}, {"rdhpos", {"--absolute"}}},
         "Print the position: partition and logical block, or --absolute",
         {Flag("--absolute", "Print the drive's absolute block address", &CommandArgs::absolute)},
         [](Session& s, const CommandArgs& a, CommandResult& o) { Tell(s, a.absolute, o); }},
        {"setblk",
         {{"blocksize", {}}},
         "Set the block size (0: variable-length blocks)",
         {blockSize},
         [](Session& s, const CommandArgs& a, CommandResult& o) { SetBlock(s, a.blockSize, o); }},
        {"compression",
         {{"comp", {}}, {"datcompression", {}}},
         "Turn data compression on or off",
         {OnOff()},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetDriveFlag(s, true, a.on, o);
         }},
        {"setmarks-report",
         {},
         "Turn setmark reporting on or off",
         {OnOff()},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             SetDriveFlag(s, false, a.on, o);
         }},
        {"mkpartition",
         {},
         "Lay out the tape as two partitions, the first of SIZE_MB megabytes, or without SIZE_MB "
         "as one partition; erases the tape",
         {sizeMb},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             MakePartitions(s, a.sizeMb, o);
         }},
        {"setpartition",
         {},
         "Move to the beginning of partition P (1 or 2)",
         {partition, kImmediate},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             if (CheckPartition(s, a.partition, o)) {
                 SetPosition(s, TAPE_LOGICAL_BLOCK, 0, a.partition, a.immediate, o);
             }
         }},
        {"protect",
         {},
         "Slide the simulated cartridge's write-protect tab: on, the drive takes no writes; off, "
         "it does again (a real cartridge's tab is slid by hand)",
         {OnOff()},
         [](Session& s, const CommandArgs& a, CommandResult& o) { Protect(s, a.on, o); },
         Runs::OnSimulatedDrive},
        {"params",
         {},
         "Drive and media parameters",
         {},
         [](Session& s, const CommandArgs&, CommandResult& o) { Params(s, o); }},
        {"write",
         {},
         "Write FILE's bytes as data blocks at the current position (a fixed-size last block is "
         "filled up with zeros; --weof, or 'weof' after, ends the tape file)",
         {FileArg("File to put on tape, or '-' for standard input"), transferBlock, recordSize,
          Flag("--weof",
               "Then write a filemark, ending the tape file as closing a tape device after "
               "writing does (on a cartridge, in one commit with the data)",
               &CommandArgs::weof)},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             WriteFile(s, a.file, a.transferBlockSize, a.recordSize, a.weof, o);
         }},
        {"read",
         {},
         "Read data blocks up to the next filemark into FILE ('-': standard output, and every "
         "other word goes to standard error); an existing FILE is replaced only when the read has "
         "succeeded",
         {FileArg("File to create or replace, or '-'"), transferBlock},
         [](Session& s, const CommandArgs& a, CommandResult& o) {
             ReadFile(s, a.file, a.transferBlockSize, o);
         },
         Runs::OnDrive,
         true},
        {"rmt",
         {},
         "Serve the remote tape protocol of rmt(8) on standard input and output, as tar, mt and "
         "dump reach it through velmtape-rsh, rsh or ssh; each open names a cartridge or device, "
         "CART/st or CART rewinding at close and CART/nst not",
         {},
         nullptr,
         Runs::ServesRemote},
        {"new",
         {},
         "Create a blank cartridge",
         {capacity,
          Flag("--write-protected", "Set the write-protect tab", &CommandArgs::writeProtected),
          kForce},
         nullptr,
         Runs::MakesCartridge},
        {"map",
         {},
         "The cartridge's layout from the cartridge store (the simulator's view, not the "
         "drive's): per partition the tape files with their blocks, block sizes and bytes, the "
         "marks, end of data, space used, and where the tape stands",
         {},
         nullptr,
         Runs::ReadsCartridge},
        {"demo",
         {},
         "A short session on a fresh cartridge: files with filemarks, two partitions, moves "
         "between them, with status after each step",
         {kForce},
         nullptr,
         Runs::OnFreshCartridge},
    };
}

}  // namespace

const std::vector<CommandSpec>& Commands()
{
    static const std::vector<CommandSpec> table = MakeTable();
    return table;
}

const std::vector<RefusedName>& RefusedNames()
{
    static const std::vector<RefusedName> names = {
        {"retension",
         "the driver has no tension operation for the QT-7310 (a DAT cartridge needs no "
         "retensioning); nothing was done"},
    };
    return names;
}

}  // namespace tools
