// Control of the TapeClass* services that the host stand-in defines for the driver: the
// registration hook and the request-scoped buffer store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/tapeclass.h"

namespace host {

// Receives what TapeClassInitialize is handed; returns the status the entry reports.
using RegistrationSink = std::function<ULONG(const TAPE_INIT_DATA&)>;
void SetRegistrationSink(RegistrationSink sink);

// The buffers of one request. While it is bound to a request block, TapeClassAllocateSrbBuffer
// on that block hands out a fresh zero-filled buffer that stays in place, with the drive's
// answer in it, until the next allocation of the same request.
class SrbBufferStore {
public:
    SrbBufferStore(PSCSI_REQUEST_BLOCK srb, std::optional<unsigned> failAllocation);
    ~SrbBufferStore();
    SrbBufferStore(const SrbBufferStore&) = delete;
    SrbBufferStore& operator=(const SrbBufferStore&) = delete;

    // Called by the service; also usable by harnesses. A refused allocation (the chosen one,
    // or one above 16 MiB) leaves DataBuffer and the previous buffer untouched. A block with
    // no store bound to it gets FALSE from the service.
    bool Allocate(ULONG size);
    unsigned allocations() const { return allocations_; }
    ULONG size() const { return static_cast<ULONG>(buffer_ ? buffer_->size() : 0); }
    // The current buffer (what DataBuffer was last pointed at), or null before the first grant.
    const uint8_t* data() const { return buffer_ ? buffer_->data() : nullptr; }
    // Every (size, granted) of this request in order.
    const std::vector<std::pair<ULONG, bool>>& history() const { return history_; }

private:
    PSCSI_REQUEST_BLOCK srb_;
    std::optional<unsigned> failAllocation_;
    unsigned allocations_ = 0;
    std::unique_ptr<std::vector<uint8_t>> buffer_;
    std::vector<std::pair<ULONG, bool>> history_;
};

}  // namespace host
