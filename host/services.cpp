// The TapeClass* services as the host stand-in defines them for the driver: registration goes
// to whoever installed a sink, and request buffers come from the store bound to the request
// block, so a buffer lives exactly as long as the class driver promises.
#include "host/services.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

namespace host {
namespace {

// The platform's "unsuccessful" status, returned when nobody is there to take a registration.
constexpr ULONG kStatusUnsuccessful = 0xC0000001u;

// A request buffer larger than this is refused as the platform's pool would refuse it; it also
// keeps a wild size from the driver from becoming a fatal allocation on the host.
constexpr ULONG kMaxSrbBufferSize = 16u * 1024u * 1024u;

struct ServiceState {
    std::mutex mutex;
    RegistrationSink sink;
    std::map<PSCSI_REQUEST_BLOCK, SrbBufferStore*> stores;
};

ServiceState& State()
{
    static ServiceState state;
    return state;
}

}  // namespace

void SetRegistrationSink(RegistrationSink sink)
{
    ServiceState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.sink = std::move(sink);
}

SrbBufferStore::SrbBufferStore(PSCSI_REQUEST_BLOCK srb, std::optional<unsigned> failAllocation)
    : srb_(srb), failAllocation_(failAllocation)
{
    ServiceState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.stores[srb_] = this;
}

SrbBufferStore::~SrbBufferStore()
{
    ServiceState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const auto it = state.stores.find(srb_);
    if (it != state.stores.end() && it->second == this) {
        state.stores.erase(it);
    }
}

bool SrbBufferStore::Allocate(ULONG size)
{
    ++allocations_;
    const bool chosenToFail = failAllocation_.has_value() && *failAllocation_ == allocations_;
    std::unique_ptr<std::vector<uint8_t>> fresh;
    if (!chosenToFail && size <= kMaxSrbBufferSize) {
        try {
            fresh = std::make_unique<std::vector<uint8_t>>(size, uint8_t{0});
        } catch (const std::bad_alloc&) {
            fresh.reset();
        }
    }
    if (!fresh) {
        // A refused allocation leaves the block and the previous buffer as they were.
        history_.emplace_back(size, false);
        return false;
    }
    // The routine may still hold the old buffer's address while it asks for the new one, so
    // the new one is made first and the old one freed only after DataBuffer has moved.
    srb_->DataBuffer = fresh->data();
    buffer_ = std::move(fresh);
    history_.emplace_back(size, true);
    return true;
}

}  // namespace host

extern "C" {

ULONG TAPECALL TapeClassInitialize(PVOID /*Argument1*/, PVOID /*Argument2*/,
                                   TAPE_INIT_DATA* TapeInitData)
{
    host::RegistrationSink sink;
    {
        host::ServiceState& state = host::State();
        const std::lock_guard<std::mutex> lock(state.mutex);
        sink = state.sink;
    }
    if (!sink || TapeInitData == nullptr) {
        return host::kStatusUnsuccessful;
    }
    return sink(*TapeInitData);
}

VOID TAPECALL TapeClassZeroMemory(PVOID Buffer, ULONG Length)
{
    if (Length != 0) {
        std::memset(Buffer, 0, Length);
    }
}

ULONG TAPECALL TapeClassCompareMemory(PVOID Source1, PVOID Source2, ULONG Length)
{
    const auto* a = static_cast<const uint8_t*>(Source1);
    const auto* b = static_cast<const uint8_t*>(Source2);
    ULONG equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        ++equal;
    }
    return equal;
}

BOOLEAN TAPECALL TapeClassAllocateSrbBuffer(PSCSI_REQUEST_BLOCK Srb, ULONG SrbBufferSize)
{
    host::SrbBufferStore* store = nullptr;
    {
        host::ServiceState& state = host::State();
        const std::lock_guard<std::mutex> lock(state.mutex);
        const auto it = state.stores.find(Srb);
        if (it != state.stores.end()) {
            store = it->second;
        }
    }
    // A block that belongs to no request has nowhere to keep a buffer.
    if (store == nullptr) {
        return FALSE;
    }
    return store->Allocate(SrbBufferSize) ? TRUE : FALSE;
}

}  // extern "C"
