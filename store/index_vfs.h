// The way SQLite reaches a cartridge's index: SQLite's own Unix files, with two changes.
// Names are taken as given, never resolved again through links (the index is named through
// the folder's open descriptor, /proc/self/fd/N/index, so the user's path is looked up once,
// by the kernel, when the folder is opened). And every page of the index file carries a
// checksum in its last kPageReserve bytes, set as the page is written and checked as it is
// read: a page that fails its check is an I/O error (SQLITE_IOERR_DATA), never data. The log
// (index-wal) keeps SQLite's own checksums per frame and is emptied whenever velmtape ends.
#pragma once

#include <cstdint>

namespace store {

// The index's page size and the bytes at the end of each page that hold its checksum.
inline constexpr uint32_t kIndexPageSize = 1024;
inline constexpr int kPageReserve = 8;

// The name of the VFS, registered on first use (not as the default).
const char* IndexVfs();

}  // namespace store
