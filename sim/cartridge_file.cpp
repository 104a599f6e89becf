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

#include "sim/drive.h"

namespace sim {

namespace {

constexpr std::array<uint8_t, 8> kMagic = {'V', 'E', 'L', 'M', 'C', 'A', 'R', 'T'};
constexpr size_t kHeaderLength = 24;  // magic, version, payload length, CRC-32
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

class Reader {
public:
    Reader(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    bool U8(uint8_t& v)
    {
        if (left() < 1) {
            return false;
        }
        v = data_[at_++];
        return true;
    }
    bool U32(uint32_t& v)
    {
        if (left() < 4) {
            return false;
        }
        v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | data_[at_++];
        }
        return true;
    }
    bool U64(uint64_t& v)
    {
        uint32_t high = 0;
        uint32_t low = 0;
        if (!U32(high) || !U32(low)) {
            return false;
        }
        v = (uint64_t(high) << 32) | low;
        return true;
    }
    bool Bytes(size_t n, std::vector<uint8_t>& v)
    {
        if (left() < n) {
            return false;
        }
        v.assign(data_ + at_, data_ + at_ + n);
        at_ += n;
        return true;
    }
    size_t left() const { return length_ - at_; }

private:
    const uint8_t* data_;
    size_t length_;
    size_t at_ = 0;
};

std::optional<Cartridge> Fail(std::string& error, const std::string& what)
{
    error = what;
    return std::nullopt;
}

std::optional<Cartridge> DecodePayload(Reader& in, std::string& error)
{
    const std::string malformed = "malformed cartridge file: ";
    Cartridge c;
    uint8_t flags = 0;
    uint8_t partition = 0;
    uint8_t settingFlags = 0;
    uint8_t count = 0;
    if (!in.U64(c.capacityBytes) || !in.U8(c.densityCode) || !in.U8(flags) || !in.U8(partition) ||
        !in.U64(c.position) || !in.U32(c.settings.blockLength) || !in.U8(settingFlags) ||
        !in.U32(c.settings.compressionAlgorithm) || !in.U32(c.settings.decompressionAlgorithm) ||
        !in.U8(count)) {
        return Fail(error, malformed + "header fields cut short");
    }
    c.writeProtected = flags & kFlagWriteProtected;
    c.partition = partition;
    c.settings.reportSetmarks = settingFlags & kFlagReportSetmarks;
    c.settings.compression = settingFlags & kFlagCompression;
    c.settings.decompression = settingFlags & kFlagDecompression;
    if (count < 1 || count > 2) {
        return Fail(error, malformed + std::to_string(count) + " partitions");
    }
    if (c.settings.blockLength > kMaximumBlockLength) {
        return Fail(error, malformed + "block length out of range");
    }
    c.partitions.assign(count, Partition{});
    uint64_t total = 0;
    for (auto& p : c.partitions) {
        uint64_t objects = 0;
        if (!in.U64(p.capacityBytes) || !in.U64(objects)) {
            return Fail(error, malformed + "partition header cut short");
        }
        // Checked before adding: two huge sizes would otherwise wrap around to a small sum.
        if (p.capacityBytes > c.capacityBytes - total) {
            return Fail(error, malformed + "partitions larger than the tape");
        }
        total += p.capacityBytes;
        // Every object takes at least its kind byte, so a larger count is a lie.
        if (objects > in.left()) {
            return Fail(error, malformed + "object count larger than the file");
        }
        p.objects.reserve(static_cast<size_t>(objects));
        uint64_t used = 0;  // data bytes so far, never above the partition's capacity
        for (uint64_t i = 0; i < objects; ++i) {
            uint8_t kind = 0;
            if (!in.U8(kind)) {
                return Fail(error, malformed + "object cut short");
            }
            if (kind == static_cast<uint8_t>(ObjectKind::Filemark)) {
                p.objects.push_back(TapeObject::Filemark());
            } else if (kind == static_cast<uint8_t>(ObjectKind::Setmark)) {
                p.objects.push_back(TapeObject::Setmark());
            } else if (kind == static_cast<uint8_t>(ObjectKind::Block)) {
                uint32_t length = 0;
                std::vector<uint8_t> data;
                if (!in.U32(length) || length > kMaximumBlockLength || !in.Bytes(length, data)) {
                    return Fail(error, malformed + "data block cut short or too long");
                }
                // No drive writes past a partition's end, so more data than fits is damage.
                if (length > p.capacityBytes - used) {
                    return Fail(error, malformed + "data larger than its partition");
                }
                used += length;
                p.objects.push_back(TapeObject::Block(std::move(data)));
            } else {
                return Fail(error, malformed + "unknown object kind " + std::to_string(kind));
            }
        }
    }
    if (in.left() != 0) {
        return Fail(error, malformed + "bytes after the last partition");
    }
    if (c.partition >= c.partitions.size() ||
        c.position > c.partitions[c.partition].objects.size()) {
        return Fail(error, malformed + "position beyond end of data");
    }
    return c;
}

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

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
    if (bytes.size() < kHeaderLength) {
        return Fail(error, "truncated cartridge file: header cut short");
    }
    Reader header(bytes.data() + kMagic.size(), kHeaderLength - kMagic.size());
    uint32_t version = 0;
    uint64_t length = 0;
    uint32_t crc = 0;
    header.U32(version);
    header.U64(length);
    header.U32(crc);
    if (version != kCartridgeFileVersion) {
        return Fail(error, "cartridge file version " + std::to_string(version) +
                               " is not supported (this drive reads version " +
                               std::to_string(kCartridgeFileVersion) + ")");
    }
    const uint64_t present = bytes.size() - kHeaderLength;
    if (present < length) {
        return Fail(error, "truncated cartridge file: " + std::to_string(present) + " of " +
                               std::to_string(length) + " bytes");
    }
    if (present > length) {
        return Fail(error, "damaged cartridge file: bytes after the end");
    }
    if (Crc32(bytes.data() + kHeaderLength, static_cast<size_t>(length)) != crc) {
        return Fail(error, "damaged cartridge file: checksum mismatch");
    }
    Reader payload(bytes.data() + kHeaderLength, static_cast<size_t>(length));
    return DecodePayload(payload, error);
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
