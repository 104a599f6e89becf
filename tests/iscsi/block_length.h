// The drive's block length set by the class driver's own MODE SELECT(6) with PF: tgt takes a
// block length only so, and the driver's SetMediaParameters sends PF clear.
#pragma once

#include <cstdint>

#include "host/classdriver.h"
#include "host/scsi.h"

namespace tgt {

inline TAPE_STATUS SelectBlockLength(host::Device& device, uint32_t length)
{
    const uint8_t select[6] = {0x15, 0x10, 0x00, 0x00, 0x0C, 0x00};
    uint8_t list[12] = {0, 0, 0, 8, 0, 0, 0, 0, 0};  // header, then the block descriptor
    host::PutBe24(&list[9], length);
    size_t moved = 0;
    return device.Send(select, sizeof(select), host::Direction::Out, list, sizeof(list), moved);
}

}  // namespace tgt
