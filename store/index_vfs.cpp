// A thin VFS over SQLite's Unix one: each open file is SQLite's own file behind a small
// header of ours, every method passed through, the main database's whole-page reads checked
// and whole-page writes stamped with the page's checksum (XXH3 of the page less its reserve,
// seeded with the page number, so a page written in another page's place fails too).
#include "store/index_vfs.h"

#include <sqlite3.h>
#include <xxhash.h>

#include <cstring>
#include <mutex>

namespace store {

namespace {

struct IndexFile {
    sqlite3_file base;  // methods: kMethods, or null when the open failed
    bool mainDb;
    bool log;
    sqlite3_file* Real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};
static_assert(sizeof(IndexFile) % 8 == 0, "SQLite's file follows ours, aligned");

IndexFile* Of(sqlite3_file* file)
{
    return reinterpret_cast<IndexFile*>(file);
}

sqlite3_vfs* Unix()
{
    return static_cast<sqlite3_vfs*>(sqlite3_vfs_find("unix"));
}

uint64_t PageSum(const uint8_t* page, sqlite3_int64 offset)
{
    const auto number = static_cast<uint64_t>(offset / kIndexPageSize) + 1;
    return XXH3_64bits_withSeed(page, kIndexPageSize - kPageReserve, number);
}

bool WholePage(int amount, sqlite3_int64 offset)
{
    return amount == static_cast<int>(kIndexPageSize) && offset % kIndexPageSize == 0;
}

int Close(sqlite3_file* f)
{
    return Of(f)->Real()->pMethods->xClose(Of(f)->Real());
}

int Read(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset)
{
    sqlite3_file* real = Of(f)->Real();
    const int rc = real->pMethods->xRead(real, out, amount, offset);
    if (rc != SQLITE_OK || !Of(f)->mainDb) {
        return rc;
    }
    const auto* bytes = static_cast<const uint8_t*>(out);
    // The header says how pages are laid out; only this layout is ever read.
    if (offset == 0 && amount >= 21 &&
        (bytes[16] != (kIndexPageSize >> 8) || bytes[17] != (kIndexPageSize & 0xFF) ||
         bytes[20] != kPageReserve)) {
        return SQLITE_IOERR_DATA;
    }
    if (WholePage(amount, offset)) {
        uint64_t stored = 0;
        for (int i = 0; i < kPageReserve; ++i) {
            stored = (stored << 8) | bytes[kIndexPageSize - kPageReserve + i];
        }
        if (stored != PageSum(bytes, offset)) {
            return SQLITE_IOERR_DATA;
        }
    }
    return SQLITE_OK;
}

int Write(sqlite3_file* f, const void* in, int amount, sqlite3_int64 offset)
{
    sqlite3_file* real = Of(f)->Real();
    if (!Of(f)->mainDb || !WholePage(amount, offset)) {
        return real->pMethods->xWrite(real, in, amount, offset);
    }
    uint8_t page[kIndexPageSize];
    std::memcpy(page, in, kIndexPageSize);
    uint64_t sum = PageSum(page, offset);
    for (int i = kPageReserve - 1; i >= 0; --i) {
        page[kIndexPageSize - kPageReserve + i] = static_cast<uint8_t>(sum);
        sum >>= 8;
    }
    return real->pMethods->xWrite(real, page, amount, offset);
}

int Truncate(sqlite3_file* f, sqlite3_int64 size)
{
    return Of(f)->Real()->pMethods->xTruncate(Of(f)->Real(), size);
}
int Sync(sqlite3_file* f, int flags)
{
    return Of(f)->Real()->pMethods->xSync(Of(f)->Real(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size)
{
    return Of(f)->Real()->pMethods->xFileSize(Of(f)->Real(), size);
}
int Lock(sqlite3_file* f, int level)
{
    return Of(f)->Real()->pMethods->xLock(Of(f)->Real(), level);
}
int Unlock(sqlite3_file* f, int level)
{
    return Of(f)->Real()->pMethods->xUnlock(Of(f)->Real(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out)
{
    return Of(f)->Real()->pMethods->xCheckReservedLock(Of(f)->Real(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg)
{
    return Of(f)->Real()->pMethods->xFileControl(Of(f)->Real(), op, arg);
}
int SectorSize(sqlite3_file* f)
{
    return Of(f)->Real()->pMethods->xSectorSize(Of(f)->Real());
}
// The log's header is not flushed on its own when a run starts the log afresh: the whole log
// is flushed before any of it is copied into the index (the checkpoint that empties it), and
// a power cut before that leaves the index as the last run left it, this run's commits lost
// as synchronous=NORMAL allows (their frames carry the new header's salt, which the old
// header on disk does not match). SQLite skips that flush when the index's file says it is
// written in order; in WAL mode nothing else reads that mark (no rollback journal is kept).
int DeviceCharacteristics(sqlite3_file* f)
{
    const int real = Of(f)->Real()->pMethods->xDeviceCharacteristics(Of(f)->Real());
    return Of(f)->mainDb ? real | SQLITE_IOCAP_SEQUENTIAL : real;
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out)
{
    return Of(f)->Real()->pMethods->xShmMap(Of(f)->Real(), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags)
{
    return Of(f)->Real()->pMethods->xShmLock(Of(f)->Real(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f)
{
    Of(f)->Real()->pMethods->xShmBarrier(Of(f)->Real());
}
int ShmUnmap(sqlite3_file* f, int deleteFlag)
{
    return Of(f)->Real()->pMethods->xShmUnmap(Of(f)->Real(), deleteFlag);
}
// Pages are never handed out of a mapping: each goes through Read and its check.
int Fetch(sqlite3_file*, sqlite3_int64, int, void** out)
{
    *out = nullptr;
    return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*)
{
    return SQLITE_OK;
}

const sqlite3_io_methods kMethods = {
    3,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    ShmMap,
    ShmLock,
    ShmBarrier,
    ShmUnmap,
    Fetch,
    Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags)
{
    IndexFile* file = Of(f);
    file->base.pMethods = nullptr;
    file->mainDb = (flags & SQLITE_OPEN_MAIN_DB) != 0;
    file->log = (flags & SQLITE_OPEN_WAL) != 0;
    sqlite3_vfs* unix = Unix();
    int rc = SQLITE_CANTOPEN;
    if (file->log && (flags & SQLITE_OPEN_CREATE) != 0) {
        // The log stays between runs (emptied): opened as it is, SQLite does not flush the
        // folder for it again, as it would for a log it had just made. A folder whose log is
        // gone gets a new one, and that folder flush.
        rc = unix->xOpen(unix, name, file->Real(), flags & ~SQLITE_OPEN_CREATE, outFlags);
    }
    if (rc != SQLITE_OK) {
        rc = unix->xOpen(unix, name, file->Real(), flags, outFlags);
    }
    if (file->Real()->pMethods != nullptr) {
        file->base.pMethods = &kMethods;
    }
    return rc;
}

int Delete(sqlite3_vfs*, const char* name, int syncDir)
{
    return Unix()->xDelete(Unix(), name, syncDir);
}

int Access(sqlite3_vfs*, const char* name, int flags, int* out)
{
    return Unix()->xAccess(Unix(), name, flags, out);
}

// The name as given: it already is the full name, through the folder's descriptor.
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out)
{
    const size_t length = std::strlen(name);
    if (name[0] != '/' || length + 1 > static_cast<size_t>(size)) {
        return SQLITE_CANTOPEN;
    }
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

}  // namespace

const char* IndexVfs()
{
    static sqlite3_vfs vfs;
    static std::once_flag once;
    std::call_once(once, [] {
        const sqlite3_vfs* unix = Unix();
        vfs = *unix;
        vfs.pNext = nullptr;
        vfs.zName = "velm-index";
        vfs.szOsFile = static_cast<int>(sizeof(IndexFile)) + unix->szOsFile;
        vfs.xOpen = Open;
        vfs.xDelete = Delete;
        vfs.xAccess = Access;
        vfs.xFullPathname = FullPathname;
        sqlite3_vfs_register(&vfs, 0);
    });
    return vfs.zName;
}

}  // namespace store
