// Converting an old VELMCART cartridge file: the file streamed through the simulator's own
// decoder in bounded memory, its objects gathered into runs and appended to the new folder as
// each fills, the checksum compared at the end.
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "sim/cartridge_format.h"
#include "store/cartridge_db.h"
#include "store/old_cartridge.h"

namespace store {

namespace {

constexpr size_t kReadChunk = size_t{1} << 20;

// The VELMCART file read front to back through a buffer of kReadChunk bytes: the header,
// then the payload as a source for the decoder, its CRC-32 taken on the way.
class VelmcartStream : public sim::CartridgeSource {
public:
    explicit VelmcartStream(int fd) : fd_(fd), buffer_(kReadChunk) {}

    // The header's fields; throws when it is not a VELMCART header of this version.
    void Header()
    {
        uint8_t bytes[sim::kCartridgeHeaderLength];
        std::string error;
        std::optional<sim::CartridgeHeader> header;
        if (!Fill(bytes, sizeof(bytes)) || !(header = sim::DecodeCartridgeHeader(bytes, error))) {
            OldCartridge::Damaged(error.empty() ? "header cut short" : error);
        }
        header_ = *header;
    }
    bool Read(uint8_t* out, size_t n) override
    {
        if (n > Left() || !Fill(out, n)) {
            return false;
        }
        crc_ = crc32_z(crc_, out, n);
        payload_ += n;
        return true;
    }
    uint64_t Left() const override { return header_.length - payload_; }
    // The whole payload was read, nothing follows it, and its checksum is the header's.
    void CheckEnd() const
    {
        struct stat info {};
        if (Left() != 0 || at_ != have_ || fstat(fd_, &info) != 0 || info.st_size != offset_) {
            OldCartridge::Damaged("its length does not match its header");
        }
        if (static_cast<uint32_t>(crc_) != header_.crc) {
            OldCartridge::Damaged("checksum mismatch");
        }
    }

private:
    bool Fill(uint8_t* out, size_t n)
    {
        while (n > 0) {
            if (at_ == have_) {
                const ssize_t got = pread(fd_, buffer_.data(), buffer_.size(), offset_);
                if (got < 0) {
                    OldCartridge::Damaged(Errno("cannot read"));
                }
                if (got == 0) {
                    return false;
                }
                offset_ += got;
                have_ = static_cast<size_t>(got);
                at_ = 0;
            }
            const size_t take = std::min(n, have_ - at_);
            std::memcpy(out, buffer_.data() + at_, take);
            at_ += take;
            out += take;
            n -= take;
        }
        return true;
    }

    int fd_;
    std::vector<uint8_t> buffer_;
    off_t offset_ = 0;
    size_t at_ = 0;
    size_t have_ = 0;
    sim::CartridgeHeader header_;
    uLong crc_ = crc32_z(0, nullptr, 0);
    uint64_t payload_ = 0;
};

// The decoded objects gathered into runs (marks of a kind, blocks of one length up to
// kMaxRunBytes and kMaxRunBlocks) and appended to the new folder as each fills.
class RunGatherer : public sim::CartridgeSink {
public:
    using AddTape = std::function<void(const sim::Cartridge& fields)>;
    using AddPartition = std::function<void(uint64_t capacity)>;
    using AddRun = std::function<void(uint32_t partition, sim::ObjectKind kind, uint64_t count,
                                      uint32_t length, const uint8_t* data)>;
    RunGatherer(AddTape addTape, AddPartition addPartition, AddRun addRun)
        : addTape_(std::move(addTape)),
          addPartition_(std::move(addPartition)),
          addRun_(std::move(addRun))
    {
    }
    void Tape(const sim::Cartridge& fields) override { addTape_(fields); }
    void Partition(uint32_t index, uint64_t capacity, uint64_t) override
    {
        Flush();
        partition_ = index;
        addPartition_(capacity);
    }
    void Object(sim::ObjectKind kind, const uint8_t* data, uint32_t length) override
    {
        const bool block = kind == sim::ObjectKind::Block;
        if (count_ > 0 &&
            (kind != kind_ || length != length_ ||
             (block && (run_.size() + length > kMaxRunBytes || count_ >= kMaxRunBlocks)))) {
            Flush();
        }
        kind_ = kind;
        length_ = length;
        run_.insert(run_.end(), data, data + length);
        ++count_;
    }
    void Flush()
    {
        if (count_ > 0) {
            addRun_(partition_, kind_, count_, length_, run_.data());
        }
        count_ = 0;
        run_.clear();
    }

private:
    AddTape addTape_;
    AddPartition addPartition_;
    AddRun addRun_;
    uint32_t partition_ = 0;
    sim::ObjectKind kind_ = sim::ObjectKind::Block;
    uint64_t count_ = 0;
    uint32_t length_ = 0;
    std::vector<uint8_t> run_;
};

}  // namespace

// The VELMCART file decoded as the simulator decodes it, streamed: runs are appended as they
// fill, the checksum compared at the end (a mismatch abandons the folder built aside).
DriveState OldCartridge::CopyVelmcart(CartridgeDb& db, int fd)
{
    VelmcartStream in(fd);
    in.Header();
    DriveState state;
    RunGatherer runs(
        [&](const sim::Cartridge& tape) {
            db.capacityBytes_ = tape.capacityBytes;
            db.densityCode_ = tape.densityCode;
            db.writeProtected_ = tape.writeProtected;
            state.partition = tape.partition;
            state.position = tape.position;
            state.settings = tape.settings;
        },
        [&](uint64_t capacity) { db.AddPartition(capacity); },
        [&](uint32_t partition, sim::ObjectKind kind, uint64_t count, uint32_t length,
            const uint8_t* data) { db.AddRun(partition, kind, count, length, data); });
    std::string error;
    if (!sim::DecodeCartridgePayload(in, runs, error)) {
        Damaged(error);
    }
    runs.Flush();
    in.CheckEnd();
    if (state.position == 0) {
        state.counted = FilePosition{0, 0, false};  // at the beginning: file 0, block 0
    }
    return state;
}

void OldCartridge::CheckVelmcart(int fd)
{
    VelmcartStream in(fd);
    in.Header();
    // Decoded as a conversion decodes it, every run dropped as soon as it is gathered.
    RunGatherer runs([](const sim::Cartridge&) {}, [](uint64_t) {},
                     [](uint32_t, sim::ObjectKind, uint64_t, uint32_t, const uint8_t*) {});
    std::string error;
    if (!sim::DecodeCartridgePayload(in, runs, error)) {
        Damaged(error);
    }
    in.CheckEnd();
}

}  // namespace store
