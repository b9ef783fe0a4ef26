// SPDX-License-Identifier: Apache-2.0
// Collection files: a storage file whose data region holds the collection
// header record at offset 192, the records from offset 384 and, only when
// the collection has something the fixed header cannot say (metadata, a name
// longer than 63 bytes, index settings beyond the header's), an extension
// block after the records. Readers that know only the fixed part never look
// past the records, so such files stay readable by them; a collection without
// any of that saves to exactly the fixed bytes.
//
// Files are replaced crash-safely: written to a temporary file beside the
// target, synced once, renamed over it, and the directory synced.
#ifndef RK_COLLECTION_COLLECTION_FILE_H
#define RK_COLLECTION_COLLECTION_FILE_H

#include <cstddef>
#include <cstdint>

#include "collection/internal.h"
#include "rk_collection.h"
#include "rk_storage.h"

namespace rk::coll {

inline constexpr uint32_t kFileVersion = 0x00010000;
inline constexpr uint64_t kRecordHead = 32;
inline constexpr uint64_t kDataOffset = 384;
inline constexpr uint32_t kNoIndexType = 0xFFFFFFFFu;
inline constexpr uint64_t kDormantThreshold = 100000000;
inline constexpr uint32_t kNameField = 64;

// Reserved words of the collection header that this format uses. Both are 0
// in files without an extension block or a saved index.
inline constexpr int kReservedIndexToken = 0;  // token shared with the saved index file
inline constexpr int kReservedExtension = 1;   // file offset of the extension block

// The index settings a reader rebuilds from the fixed header alone.
IndexSpec spec_from_header(const rk_storage_collection_header_t &h);

// Sums a file's extension block carries: one over the record data and one
// over the index file saved with it (0 when none was). Blocks of the first
// version carry neither (present false).
struct ExtSums {
    uint64_t records = 0;
    uint64_t index = 0;
    bool present = false;
};

// The sum of a file's record data: MurmurHash3 x64 128 (first half) over
// each record's 32-byte head and then its vector bytes as they lie on disk,
// each piece seeded with the sum so far, starting from 0. One pass, no
// buffer beyond a record.
class RecordSum {
public:
    void add(const void *data, size_t n);
    uint64_t value() const { return sum_; }

private:
    uint64_t sum_ = 0;
};

// The same chain over a whole file in 1 MiB pieces; false when it cannot be
// read.
bool file_sum(const char *path, uint64_t *out);

// Extension block (collection_file_ext.cpp). Builds the block for c into a
// hook buffer, with both sums 0; *out is null (and *size 0) when the fixed
// header says it all, unless `always`.
rk_status_t ext_build(const rk_collection_t *c, const rk_storage_collection_header_t &h, bool always,
                      unsigned char **out, size_t *size);
// Puts the sums into a built block and reseals its checksum.
void ext_seal(unsigned char *block, size_t size, const ExtSums &sums);
// Applies a block read from a file to a freshly loaded collection: metadata
// of the records present, the full name, the index settings, and returns the
// sums it carries. A block that fails any check is not applied; false then.
bool ext_apply(rk_collection_t *c, const unsigned char *block, size_t size, ExtSums *sums);

// Options of the database's saves and loads.
struct FileOptions {
    // Save: also write the collection's active index to this path, bound to
    // the collection file by a token. Load: restore the index from this path
    // when its token matches, and then feed nothing to a fresh index.
    const char *index_path = nullptr;
    // Save: sync the directory after the rename. A caller saving several
    // files into one directory may sync it once itself, after the last.
    bool sync_dir = true;
    // Save: the status when the file cannot be created; RK_OK reports the
    // system's cause (a full disk, a refused permission).
    rk_status_t create_failure = RK_OK;
    // Load: when non-null, receives why load_file returned null (RK_OK when
    // it returned a collection): RK_ERR_NO_MEMORY, RK_ERR_NOT_FOUND,
    // RK_ERR_PERMISSION, RK_ERR_FILE_CORRUPTED, RK_ERR_IO.
    rk_status_t *load_status = nullptr;
    // Load: refuse a file that cannot be read whole (a cut, or a record
    // count that disagrees with the data size) instead of keeping the
    // records before the damage.
    bool whole = false;
    // Load: leave a dormant index empty; it takes the records when it
    // becomes active or is built. Nothing reads a dormant index, so an open
    // then costs no more than reading the files.
    bool lazy_index = false;
};

// Save and load with options (rk_collection_save / rk_collection_load are
// these without any).
rk_status_t save_file(rk_collection_t *c, const char *path, const FileOptions &options);
rk_collection_t *load_file(rk_arena_t *arena, const char *path, const FileOptions &options);
// load_file with the reason of a failure: RK_ERR_FILE_CORRUPTED for a file
// that is not a collection file or fails a check (header checksum, record
// count against data size, ids that do not rise, a damaged extension block,
// a record sum that does not match), RK_ERR_IO when it cannot be read,
// RK_ERR_NO_MEMORY. *out is null on failure.
rk_status_t load_file_ex(rk_arena_t *arena, const char *path, const FileOptions &options, rk_collection_t **out);

// Index files written beside a collection carry this trailer after the index
// body: the token and a magic word. Index readers ignore bytes past the body.
inline constexpr uint32_t kIndexTrailerMagic = 0x524B4958;  // "RKIX"
inline constexpr size_t kIndexTrailerSize = 16;             // token u64, magic u32, 0 u32

// Writes c's index crash-safely to path with the token in its trailer.
rk_status_t save_index_file(const rk_collection_t *c, const char *path, uint64_t token, bool sync_dir);
// Loads the index at path into a new index of its own when its trailer
// carries token, its bytes have sum `sum` (unless sum is 0) and it describes
// c's vectors; null otherwise.
struct rk_index_t *load_index_file(const rk_collection_t *c, const char *path, uint64_t token, uint64_t sum);

}  // namespace rk::coll

#endif
