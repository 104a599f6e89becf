// The tape as a program sees a Linux st device: opened by name, read and written one block at
// a time, a filemark written when the writer closes, rewound at close unless the name asks
// not to be, moved by the MTIOCTOP operations and described by MTIOCGET. Every operation is
// carried through a session of velmtape, so through the driver, to whatever drive the name
// reaches: the simulator's cartridge, an iSCSI target, a SCSI generic device.
#pragma once

#include <linux/mtio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tools/commands.h"
#include "tools/rmt_wire.h"
#include "tools/session.h"

namespace tools::rmt {

class LinuxTape {
public:
    // `defaults` carries the options of every session (trace, waiting, forced claim); the
    // path comes with each open.
    explicit LinuxTape(SessionOptions defaults) : defaults_(std::move(defaults)) {}
    // Closes an open tape as close(2) would (the client went away).
    ~LinuxTape();
    LinuxTape(const LinuxTape&) = delete;
    LinuxTape& operator=(const LinuxTape&) = delete;

    bool IsOpen() const { return session_ != nullptr; }

    // Opens the cartridge or device `name` names (ParseDeviceName) with an access mode of
    // open(2). A tape already open is closed first, as the protocol asks.
    Reply Open(const std::string& name, int accessMode);
    // A filemark after data written, then the rewind a rewinding name asks for; what the
    // session did is kept either way.
    Reply Close();

    // At most one block (variable) or `count` bytes of whole blocks (fixed), as read(2)
    // returns them from st: the reply's value bytes at the start of `buffer`, which grows to
    // the room a read needs and is kept for the next (growing it zeroes it).
    Reply Read(size_t count, std::vector<uint8_t>& buffer);
    // One block (variable), or whole blocks (fixed), as write(2) gives them to st.
    Reply Write(const std::vector<uint8_t>& data);
    // One MTIOCTOP operation, numbered as in Linux's <sys/mtio.h> (rmt_ops.cpp).
    Reply Operate(int64_t operation, int64_t count);
    // MTIOCGET: the drive's state in Linux's struct mtget (rmt_ops.cpp).
    Reply Status(mtget& status);

private:
    Reply NotOpen() const;
    // The block size reads and writes use: the drive's, asked once after each open, load and
    // setblk; variable-length blocks when the drive does not report it.
    std::optional<Reply> LearnBlockSize();
    // A failure of one of velmtape's commands (commands.h) as a reply.
    static Reply FromOutcome(const CommandResult& out, const char* what);
    Reply Request(host::Request request, void* record);
    Reply Space(ULONG method, int64_t count);
    Reply Marks(ULONG type, int64_t count, bool immediate);
    Reply Prepare(ULONG operation);
    // The operations behind the MTIOCTOP rows that take more than one request (rmt_ops.cpp).
    Reply SpaceThenBack(ULONG method, int64_t count);
    Reply Erase(bool longErase);
    Reply SetBlockSize(int64_t size);
    Reply Locate(int64_t block);
    Reply Load();
    Reply Unload();
    Reply Compression(bool on);
    Reply SetPartition(int64_t partition);
    Reply MakePartitions(int64_t secondMb);

    SessionOptions defaults_;
    std::unique_ptr<Session> session_;
    bool readable_ = false;
    bool writable_ = false;
    bool rewindAtClose_ = true;
    bool wrote_ = false;         // data written since the last mark or motion: close ends it
    bool unloaded_ = false;      // the cartridge is out: nothing to rewind at close
    bool earlyWarning_ = false;  // the next write answers ENOSPC, as st does near the end
    std::optional<uint32_t> blockSize_;
    // What the next read answers without moving the tape: 0 for a mark the last read crossed
    // after delivering data, or the failure that stopped it after data.
    std::optional<Reply> pending_;
    bool pendingMark_ = false;  // pending_ is that mark: file motions count it as crossed
};

}  // namespace tools::rmt
