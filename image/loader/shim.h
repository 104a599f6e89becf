// The driver as the i386 test build links it: VELMDAT.SYS loaded at startup, DriverEntry and
// every registered routine defined here as a forwarder into the image, so that suites written
// against the driver's routines exercise the cross-built image instead.
#pragma once

#include <string>

#include "image/loader/peimage.h"
#include "platform/tapeclass.h"

namespace velmdat_image {

// The image in use: $VELMDAT_IMAGE_FILE, else the one this build made.
std::string ImagePath();

// The mapped image. A file that cannot be mapped completely ends the process with the reason:
// nothing may jump into a partly mapped image.
const peimage::LoadedImage& Image();

// The record the image's entry handed to TapeClassInitialize.
const TAPE_INIT_DATA& Registration();

// Binds TAPE.SYS!TapeClass* to the host stand-in's i386 services; nullptr for anything else.
void* ResolveTapeImport(const std::string& module, const std::string& name);

}  // namespace velmdat_image
