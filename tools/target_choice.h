// What `-f` names: a cartridge file for the simulated drive, an iSCSI URL, or a Linux SCSI
// device node; and, for a device, the opened target that reaches it.
#pragma once

#include <memory>
#include <string>

#include "host/device_target.h"

namespace tools {

enum class TargetKind { Cartridge, Iscsi, ScsiGeneric };

// iscsi://... is iSCSI; /dev/sgN, /dev/nstN and /dev/stN (with st's l/m/a mode letter) are
// SCSI generic; anything else is a cartridge file.
TargetKind ChooseTarget(const std::string& name);

// The name as it may be printed: an iSCSI URL loses its CHAP passwords.
std::string ShownName(const std::string& name);

// Opens the device that `name` reaches (not a cartridge). Throws ToolError saying why not.
std::unique_ptr<host::DeviceTarget> OpenDeviceTarget(const std::string& name);

}  // namespace tools
