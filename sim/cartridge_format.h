// The VELMCART cartridge file's fields (layout in sim/README.md), decoded in one place for
// both of its readers: the simulator loading a whole file into memory, and the cartridge
// store converting an old file as a stream, in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/drive.h"

namespace sim {

inline constexpr size_t kCartridgeHeaderLength = 24;  // magic, version, payload length, CRC-32

// The header's fields, once its magic and version were found right.
struct CartridgeHeader {
    uint64_t length = 0;  // of the payload that follows
    uint32_t crc = 0;     // CRC-32 of the payload
};

// Where a payload's bytes come from.
class CartridgeSource {
public:
    virtual ~CartridgeSource() = default;
    // The next `n` bytes into `out`; false when fewer are left.
    virtual bool Read(uint8_t* out, size_t n) = 0;
    // How many of the payload's bytes are still to come.
    virtual uint64_t Left() const = 0;
};

// What a payload holds, handed over in the order it is decoded.
class CartridgeSink {
public:
    virtual ~CartridgeSink() = default;
    // The tape's own fields: everything but the partitions' contents (`partitions` holds
    // one empty entry per partition, its capacity not yet known).
    virtual void Tape(const Cartridge& fields) = 0;
    // Partition `index` starts: its capacity, and how many objects follow.
    virtual void Partition(uint32_t index, uint64_t capacity, uint64_t objects) = 0;
    // The next object of the partition: a mark (no bytes) or a block of `length` bytes.
    virtual void Object(ObjectKind kind, const uint8_t* data, uint32_t length) = 0;
};

// The 24 bytes of a header, or nullopt with the reason in `error`.
std::optional<CartridgeHeader> DecodeCartridgeHeader(const uint8_t* bytes, std::string& error);

// Decodes a whole payload into `sink`, checking every field as it comes (counts, lengths,
// sizes against the tape and the file, the position against the partition's end). False
// with the reason in `error` at the first thing no cartridge holds; what the sink received
// until then is to be thrown away.
bool DecodeCartridgePayload(CartridgeSource& in, CartridgeSink& sink, std::string& error);

}  // namespace sim
