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

// Extension block (collection_file_ext.cpp). Builds the block for c into a
// hook buffer; *out is null (and *size 0) when the fixed header says it all.
rk_status_t ext_build(const rk_collection_t *c, const rk_storage_collection_header_t &h, unsigned char **out,
                      size_t *size);
// Applies a block read from a file to a freshly loaded collection: metadata
// of the records present, the full name, the index settings. A block that
// fails any check is ignored as a whole; false then.
bool ext_apply(rk_collection_t *c, const unsigned char *block, size_t size);

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
};

// Save and load with options (rk_collection_save / rk_collection_load are
// these without any).
rk_status_t save_file(rk_collection_t *c, const char *path, const FileOptions &options);
rk_collection_t *load_file(rk_arena_t *arena, const char *path, const FileOptions &options);

// Index files written beside a collection carry this trailer after the index
// body: the token and a magic word. Index readers ignore bytes past the body.
inline constexpr uint32_t kIndexTrailerMagic = 0x524B4958;  // "RKIX"
inline constexpr size_t kIndexTrailerSize = 16;             // token u64, magic u32, 0 u32

// Writes c's index crash-safely to path with the token in its trailer.
rk_status_t save_index_file(const rk_collection_t *c, const char *path, uint64_t token, bool sync_dir);
// Loads the index at path into a new index of its own when its trailer
// carries token and it describes c's vectors; null otherwise.
struct rk_index_t *load_index_file(const rk_collection_t *c, const char *path, uint64_t token);

}  // namespace rk::coll

#endif
