// Cartridge files: a checked, versioned image of a simulated cartridge, so that separate tool
// invocations see one tape. The layout is described in sim/README.md. Relies on POSIX for
// the flush-and-rename that keeps a saved file whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "sim/cartridge_format.h"

namespace sim {

namespace {

constexpr std::array<uint8_t, 8> kMagic = {'V', 'E', 'L', 'M', 'C', 'A', 'R', 'T'};
constexpr uint8_t kFlagWriteProtected = 0x01;
constexpr uint8_t kFlagReportSetmarks = 0x01;
constexpr uint8_t kFlagCompression = 0x02;
constexpr uint8_t kFlagDecompression = 0x04;

// CRC-32 as in zlib and PNG (reflected polynomial 0xEDB88320), computed bit by bit: the
// simulator links nothing but the standard library.
uint32_t Crc32(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

class Writer {
public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes_.push_back(static_cast<uint8_t>(v >> shift));
        }
    }
    void U64(uint64_t v)
    {
        U32(static_cast<uint32_t>(v >> 32));
        U32(static_cast<uint32_t>(v));
    }
    void Bytes(const std::vector<uint8_t>& v) { bytes_.insert(bytes_.end(), v.begin(), v.end()); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// A payload held in memory.
class MemorySource : public CartridgeSource {
public:
    MemorySource(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    bool Read(uint8_t* out, size_t n) override
    {
        if (Left() < n) {
            return false;
        }
        std::copy_n(data_ + at_, n, out);
        at_ += n;
        return true;
    }
    uint64_t Left() const override { return length_ - at_; }

private:
    const uint8_t* data_;
    size_t length_;
    size_t at_ = 0;
};

// Fields read big-endian from a source; false once the source runs dry.
class Fields {
public:
    explicit Fields(CartridgeSource& in) : in_(in) {}
    template <typename T>
    bool Be(T& v)
    {
        uint8_t bytes[sizeof(T)];
        if (!in_.Read(bytes, sizeof(T))) {
            return false;
        }
        uint64_t value = 0;
        for (const uint8_t b : bytes) {
            value = (value << 8) | b;
        }
        v = static_cast<T>(value);
        return true;
    }

private:
    CartridgeSource& in_;
};

// The cartridge a payload describes, built whole in memory.
class CartridgeBuilder : public CartridgeSink {
public:
    void Tape(const Cartridge& fields) override { cartridge = fields; }
    void Partition(uint32_t index, uint64_t capacity, uint64_t objects) override
    {
        sim::Partition& p = cartridge.partitions[index];
        p.capacityBytes = capacity;
        p.objects.reserve(static_cast<size_t>(objects));
        current_ = &p;
    }
    void Object(ObjectKind kind, const uint8_t* data, uint32_t length) override
    {
        current_->objects.push_back(kind == ObjectKind::Block
                                        ? TapeObject::Block({data, data + length})
                                    : kind == ObjectKind::Filemark ? TapeObject::Filemark()
                                                                   : TapeObject::Setmark());
    }
    Cartridge cartridge;

private:
    sim::Partition* current_ = nullptr;
};

std::optional<Cartridge> Fail(std::string& error, const std::string& what)
{
    error = what;
    return std::nullopt;
}

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::optional<CartridgeHeader> DecodeCartridgeHeader(const uint8_t* bytes, std::string& error)
{
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes)) {
        error = "not a VELM cartridge file";
        return std::nullopt;
    }
    MemorySource source(bytes + kMagic.size(), kCartridgeHeaderLength - kMagic.size());
    Fields header(source);
    uint32_t version = 0;
    CartridgeHeader fields;
    header.Be(version);
    header.Be(fields.length);
    header.Be(fields.crc);
    if (version != kCartridgeFileVersion) {
        error = "cartridge file version " + std::to_string(version) +
                " is not supported (this drive reads version " +
                std::to_string(kCartridgeFileVersion) + ")";
        return std::nullopt;
    }
    return fields;
}

bool DecodeCartridgePayload(CartridgeSource& in, CartridgeSink& sink, std::string& error)
{
    const auto fail = [&](const std::string& what) {
        error = "malformed cartridge file: " + what;
        return false;
    };
    Fields f(in);
    Cartridge c;
    uint8_t flags = 0;
    uint8_t partition = 0;
    uint8_t settingFlags = 0;
    uint8_t count = 0;
    if (!f.Be(c.capacityBytes) || !f.Be(c.densityCode) || !f.Be(flags) || !f.Be(partition) ||
        !f.Be(c.position) || !f.Be(c.settings.blockLength) || !f.Be(settingFlags) ||
        !f.Be(c.settings.compressionAlgorithm) || !f.Be(c.settings.decompressionAlgorithm) ||
        !f.Be(count)) {
        return fail("header fields cut short");
    }
    c.writeProtected = flags & kFlagWriteProtected;
    c.partition = partition;
    c.settings.reportSetmarks = settingFlags & kFlagReportSetmarks;
    c.settings.compression = settingFlags & kFlagCompression;
    c.settings.decompression = settingFlags & kFlagDecompression;
    if (auto problem = CartridgeLimits::PartitionCount(count)) {
        return fail(*problem);
    }
    if (auto problem = CartridgeLimits::BlockLength(c.settings.blockLength)) {
        return fail(*problem);
    }
    CartridgeLimits limits(c.capacityBytes);
    c.partitions.assign(count, Partition{});
    sink.Tape(c);
    uint64_t positionLimit = 0;
    std::vector<uint8_t> block;
    for (uint32_t index = 0; index < count; ++index) {
        uint64_t capacity = 0;
        uint64_t objects = 0;
        if (!f.Be(capacity) || !f.Be(objects)) {
            return fail("partition header cut short");
        }
        if (auto problem = limits.AddPartition(capacity)) {
            return fail(*problem);
        }
        // Every object takes at least its kind byte, so a larger count is a lie.
        if (objects > in.Left()) {
            return fail("object count larger than the file");
        }
        sink.Partition(index, capacity, objects);
        uint64_t used = 0;  // data bytes so far, never above the partition's capacity
        for (uint64_t i = 0; i < objects; ++i) {
            uint8_t kind = 0;
            if (!f.Be(kind)) {
                return fail("object cut short");
            }
            if (kind > static_cast<uint8_t>(ObjectKind::Setmark)) {
                return fail("unknown object kind " + std::to_string(kind));
            }
            uint32_t length = 0;
            if (kind == static_cast<uint8_t>(ObjectKind::Block)) {
                if (!f.Be(length) || length > kMaximumBlockLength || length > in.Left()) {
                    return fail("data block cut short or too long");
                }
                // No drive writes past a partition's end, so more data than fits is damage.
                if (length > capacity - used) {
                    return fail("data larger than its partition");
                }
                used += length;
                block.resize(length);
                if (!in.Read(block.data(), length)) {
                    return fail("data block cut short or too long");
                }
            }
            sink.Object(static_cast<ObjectKind>(kind), block.data(), length);
        }
        if (index == c.partition) {
            positionLimit = objects;
        }
    }
    if (in.Left() != 0) {
        return fail("bytes after the last partition");
    }
    if (auto problem = CartridgeLimits::Position(c.partition, count, c.position, positionLimit)) {
        return fail(*problem);
    }
    return true;
}

std::vector<uint8_t> EncodeCartridge(const Cartridge& c)
{
    Writer payload;
    payload.U64(c.capacityBytes);
    payload.U8(c.densityCode);
    payload.U8(c.writeProtected ? kFlagWriteProtected : 0);
    payload.U8(static_cast<uint8_t>(c.partition));
    payload.U64(c.position);
    payload.U32(c.settings.blockLength);
    payload.U8(static_cast<uint8_t>((c.settings.reportSetmarks ? kFlagReportSetmarks : 0) |
                                    (c.settings.compression ? kFlagCompression : 0) |
                                    (c.settings.decompression ? kFlagDecompression : 0)));
    payload.U32(c.settings.compressionAlgorithm);
    payload.U32(c.settings.decompressionAlgorithm);
    payload.U8(static_cast<uint8_t>(c.partitions.size()));
    for (const auto& p : c.partitions) {
        payload.U64(p.capacityBytes);
        payload.U64(p.objects.size());
        for (const auto& object : p.objects) {
            payload.U8(static_cast<uint8_t>(object.kind));
            if (object.kind == ObjectKind::Block) {
                payload.U32(static_cast<uint32_t>(object.data.size()));
                payload.Bytes(object.data);
            }
        }
    }
    Writer file;
    for (const uint8_t b : kMagic) {
        file.U8(b);
    }
    file.U32(kCartridgeFileVersion);
    file.U64(payload.bytes().size());
    file.U32(Crc32(payload.bytes().data(), payload.bytes().size()));
    file.Bytes(payload.bytes());
    return std::move(file.bytes());
}

std::optional<Cartridge> DecodeCartridge(const std::vector<uint8_t>& bytes, std::string& error)
{
    const size_t magicSeen = std::min(bytes.size(), kMagic.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(magicSeen),
                    kMagic.begin()) ||
        bytes.empty()) {
        return Fail(error, "not a VELM cartridge file");
    }
    if (bytes.size() < kCartridgeHeaderLength) {
        return Fail(error, "truncated cartridge file: header cut short");
    }
    const std::optional<CartridgeHeader> header = DecodeCartridgeHeader(bytes.data(), error);
    if (!header) {
        return std::nullopt;
    }
    const uint64_t length = header->length;
    const uint64_t present = bytes.size() - kCartridgeHeaderLength;
    if (present < length) {
        return Fail(error, "truncated cartridge file: " + std::to_string(present) + " of " +
                               std::to_string(length) + " bytes");
    }
    if (present > length) {
        return Fail(error, "damaged cartridge file: bytes after the end");
    }
    if (Crc32(bytes.data() + kCartridgeHeaderLength, static_cast<size_t>(length)) != header->crc) {
        return Fail(error, "damaged cartridge file: checksum mismatch");
    }
    MemorySource payload(bytes.data() + kCartridgeHeaderLength, static_cast<size_t>(length));
    CartridgeBuilder builder;
    if (!DecodeCartridgePayload(payload, builder, error)) {
        return std::nullopt;
    }
    return std::move(builder.cartridge);
}

bool SaveCartridge(const Cartridge& cartridge, const std::string& path, std::string& error)
{
    const std::vector<uint8_t> bytes = EncodeCartridge(cartridge);
    // The temporary file sits beside the target so that the rename stays on one file system.
    std::string temporary = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = Errno("cannot create a temporary file");
        return false;
    }
    const auto abandon = [&](const std::string& what) {
        error = Errno(what);
        close(fd);
        unlink(temporary.c_str());
        return false;
    };
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return abandon("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (fchmod(fd, 0644) != 0) {
        return abandon("cannot set permissions");
    }
    if (fsync(fd) != 0) {
        return abandon("cannot flush to disk");
    }
    if (close(fd) != 0) {
        error = Errno("cannot close");
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = Errno("cannot replace the file");
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself must reach the disk too.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

std::optional<Cartridge> LoadCartridge(const std::string& path, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return Fail(error, Errno("cannot open"));
    }
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 65536> chunk{};
    while (true) {
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::string what = Errno("cannot read");
            close(fd);
            return Fail(error, what);
        }
        if (n == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
    close(fd);
    return DecodeCartridge(bytes, error);
}

}  // namespace sim
