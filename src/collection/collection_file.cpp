// SPDX-License-Identifier: Apache-2.0
// Saving a collection: the file is assembled in large buffered writes into a
// temporary file beside the target, synced once and renamed over it, so a
// crash at any moment leaves either the old file or the new one.
#include "collection/collection_file.h"

#include <bit>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/index.h"
#include "index/index_file.h"
#include "platform/file_os.h"
#include "rk_hash.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "storage/format.h"

namespace rk::coll {
namespace {

constexpr size_t kChunk = 4u << 20;
constexpr char kTempSuffix[] = ".tmp-XXXXXX";
constexpr bool kLittleEndianFloats = std::endian::native == std::endian::little;

bool is_hnsw(uint32_t type) { return type == RK_INDEX_HNSW || type == RK_INDEX_HNSW_PQ; }
bool is_ivf(uint32_t type) { return type == RK_INDEX_IVF || type == RK_INDEX_IVF_PQ; }

// The fixed header of c as it is saved now (checksum and extension offset
// still 0).
rk_storage_collection_header_t make_header(const rk_collection_t *c, int64_t now) {
    rk_storage_collection_header_t h;
    std::memset(&h, 0, sizeof h);
    h.magic = RK_STORAGE_COLLECTION_MAGIC;
    h.version = kFileVersion;
    h.created_at = c->created_at;
    h.modified_at = now;
    if (c->name) {
        const size_t n = std::strlen(c->name);
        std::memcpy(h.name, c->name, n < kNameField - 1 ? n : kNameField - 1);
    }
    h.dimension = c->dimension;
    h.metric = c->metric;
    const int32_t type = index_type_of(c);
    h.index_type = type < 0 ? kNoIndexType : uint32_t(type);
    h.count = uint32_t(c->count);
    h.next_id = c->next_id;
    const IndexSpec &s = impl_of(c)->spec;
    if (is_hnsw(h.index_type)) {
        h.hnsw_m = s.m;
        h.hnsw_ef_construction = s.ef_construction;
        h.hnsw_ef_search = s.ef_search;
    } else if (is_ivf(h.index_type)) {
        rk_index_stats_t st{};
        (void)rk_index_get_stats(c->index, &st);
        h.ivf_nlist = s.nlist != 0 ? s.nlist : st.nlist;
        h.ivf_nprobe = s.nprobe;
    }
    h.data_offset = kDataOffset;
    h.data_size = c->count * (kRecordHead + 4ull * c->dimension);
    h.index_threshold = uint32_t(c->index_threshold);
    return h;
}

void seal_header(rk_storage_collection_header_t *h, unsigned char image[storage::kCollectionHeaderSize]) {
    h->checksum = 0;
    storage::encode_collection_header(*h, image);
    h->checksum = rk_hash_murmur3_32(image, storage::kCollectionChecksumSpan, 0);
    storage::encode_collection_header(*h, image);
}

// A temporary file beside a target path, removed unless committed.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (fd_ >= 0) os::close_file(fd_);
        if (name_ && !committed_) (void)os::remove_file(name_.get());
    }

    rk_status_t create(const char *target) {
        const size_t n = std::strlen(target);
        name_.reset(hook_array<char>(n + sizeof kTempSuffix));
        RK_RETURN_IF(!name_, RK_ERR_NO_MEMORY);
        std::memcpy(name_.get(), target, n);
        std::memcpy(name_.get() + n, kTempSuffix, sizeof kTempSuffix);
        fd_ = os::make_temp_file(name_.get());
        if (fd_ >= 0) return RK_OK;
        const rk_status_t cause = os::last_error_status();
        name_.reset();
        return cause;
    }
    int fd() const { return fd_; }
    const char *name() const { return name_.get(); }

    // Syncs (unless the contents were made durable already), closes and
    // renames over target, then syncs target's directory if asked.
    rk_status_t commit(const char *target, bool sync_file, bool sync_dir) {
        const bool synced = !sync_file || os::sync_fd(fd_) == 0;
        const rk_status_t sync_cause = synced ? RK_OK : os::last_error_status();
        const bool closed = os::close_file(fd_) == 0;
        fd_ = -1;
        RK_TRY(sync_cause);
        RK_RETURN_IF(!closed, os::last_error_status());
        RK_RETURN_IF(os::rename_path(name_.get(), target) != 0, os::last_error_status());
        committed_ = true;
        return sync_dir ? sync_parent(target) : RK_OK;
    }

private:
    static rk_status_t sync_parent(const char *target) {
        const char *sep = std::strrchr(target, '/');
        if (!sep) return os::sync_dir(".") == 0 ? RK_OK : os::last_error_status();
        const size_t d = sep == target ? 1 : size_t(sep - target);
        HookPtr<char> dir(hook_array<char>(d + 1));
        RK_RETURN_IF(!dir, RK_ERR_NO_MEMORY);
        std::memcpy(dir.get(), target, d);
        dir.get()[d] = '\0';
        return os::sync_dir(dir.get()) == 0 ? RK_OK : os::last_error_status();
    }

    HookPtr<char> name_;
    int fd_ = -1;
    bool committed_ = false;
};

// Buffered sequential writer over a descriptor.
class Sink {
public:
    explicit Sink(int fd) : fd_(fd), buf_(hook_array<unsigned char>(kChunk)) {}
    bool ready() const { return buf_ != nullptr; }
    void put(const void *data, size_t n) {
        const auto *p = static_cast<const unsigned char *>(data);
        while (n > 0 && ok_) {
            if (used_ == kChunk) flush();
            const size_t take = n < kChunk - used_ ? n : kChunk - used_;
            std::memcpy(buf_.get() + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
        }
    }
    bool flush() {
        if (ok_ && used_ > 0) {
            ok_ = os::write_all(fd_, buf_.get(), used_) == int64_t(used_);
            if (!ok_) cause_ = os::last_error_status();
        }
        used_ = 0;
        return ok_;
    }
    // Why the first write failed (a full disk is RK_ERR_DISK_FULL).
    rk_status_t status() const { return cause_; }

private:
    int fd_;
    HookPtr<unsigned char> buf_;
    size_t used_ = 0;
    bool ok_ = true;
    rk_status_t cause_ = RK_OK;
};

// Writes the records and returns the sum of their bytes.
uint64_t put_records(Sink &out, const rk_collection_t *c) {
    unsigned char head[kRecordHead] = {};
    RecordSum sum;
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t &r = c->records[i];
        storage::put_u64(head, r.id);
        storage::put_u32(head + 8, c->dimension);
        out.put(head, sizeof head);
        sum.add(head, sizeof head);
        if (kLittleEndianFloats) {
            out.put(r.vector, size_t(c->dimension) * 4);
            sum.add(r.vector, size_t(c->dimension) * 4);
            continue;
        }
        unsigned char f[4];
        for (uint32_t d = 0; d < c->dimension; ++d) {
            storage::put_f32(f, r.vector[d]);
            out.put(f, 4);
        }
    }
    return sum.value();
}

// The non-zero token that ties an index file to a save of a collection
// file: a sum of the records the save holds (ids and vectors) and their
// count, so that saving the same records and index twice, in any process,
// gives the same bytes. An index file whose token matches was saved with
// these very records; the index sum in the extension block then tells
// whether it is the index this save wrote.
uint64_t content_token(const rk_collection_t *c) {
    RecordSum sum;
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t &r = c->records[i];
        sum.add(&r.id, sizeof r.id);
        sum.add(r.vector, size_t(c->dimension) * sizeof(float));
    }
    const uint64_t t = sum.value() ^ (c->count * 0x9E3779B97F4A7C15ull);
    return t != 0 ? t : 1;
}

// A database's file always carries the extension block, for its sums; a
// plain save only when the fixed header cannot say everything.
rk_status_t write_file(rk_collection_t *c, const char *path, uint64_t token, uint64_t index_sum,
                       const FileOptions &options) {
    const int64_t now = rk_time_now();
    rk_storage_collection_header_t h = make_header(c, now);
    h.reserved[kReservedIndexToken] = token;
    unsigned char *ext_raw = nullptr;
    size_t ext_size = 0;
    RK_TRY(ext_build(c, h, options.index_path != nullptr && kLittleEndianFloats, &ext_raw, &ext_size));
    HookPtr<unsigned char> ext(ext_raw);
    if (ext) h.reserved[kReservedExtension] = h.data_offset + h.data_size;

    unsigned char file_header[storage::kHeaderSize];
    storage::make_fresh_header(file_header, now);
    // The storage engine counts every byte written through it: the header
    // record twice (placeholder, then final), the records and the block.
    storage::put_u64(file_header + storage::kOffDataSize,
                     2 * storage::kCollectionHeaderSize + h.data_size + ext_size);
    unsigned char image[storage::kCollectionHeaderSize];
    seal_header(&h, image);

    TempFile temp;
    const rk_status_t created = temp.create(path);
    if (created != RK_OK) return options.create_failure != RK_OK ? options.create_failure : created;
    Sink out(temp.fd());
    RK_RETURN_IF(!out.ready(), RK_ERR_NO_MEMORY);
    out.put(file_header, sizeof file_header);
    out.put(image, sizeof image);
    const uint64_t records_sum = put_records(out, c);
    if (ext) {
        // The sum chains whole vectors as they lie in memory, so only
        // little-endian hosts write (and check) it.
        if (kLittleEndianFloats) ext_seal(ext.get(), ext_size, ExtSums{records_sum, index_sum, true});
        out.put(ext.get(), ext_size);
    }
    RK_RETURN_IF(!out.flush(), out.status());
    return temp.commit(path, true, options.sync_dir);
}

}  // namespace

IndexSpec spec_from_header(const rk_storage_collection_header_t &h) {
    // Settings the header does not carry take the values a collection
    // created with that index type gets.
    rk_collection_config_t cfg{};
    cfg.index_type = h.index_type == kNoIndexType ? 0 : int32_t(h.index_type);
    if (cfg.index_type < 0) cfg.index_type = 0;
    IndexSpec s = spec_for(&cfg);
    if (is_hnsw(h.index_type)) {
        s.m = h.hnsw_m;
        s.ef_construction = h.hnsw_ef_construction;
        s.ef_search = h.hnsw_ef_search;
    } else if (is_ivf(h.index_type)) {
        s.nlist = h.ivf_nlist;
        s.nprobe = h.ivf_nprobe;
    }
    return s;
}

rk_status_t save_index_file(const rk_collection_t *c, const char *path, uint64_t token, bool sync_dir) {
    const rk_index_t *index = c->index;
    const TypeInfo *info = index ? type_info(index->type) : nullptr;
    RK_RETURN_IF(!info || !has_impl(index), RK_ERR_NOT_SUPPORTED);
    TempFile temp;
    RK_TRY(temp.create(path));
    // The bytes rk_index_save writes, then the trailer, with one flush.
    FileWriter out;
    RK_RETURN_IF(!out.open(temp.name()), out.status());
    out.put_u32(index->type);
    RK_TRY(info->family->save(index, out));
    out.put_u64(token);
    out.put_u32(kIndexTrailerMagic);
    out.put_u32(0);
    RK_RETURN_IF(!out.close(), out.status());
    return temp.commit(path, false, sync_dir);
}

rk_status_t save_file(rk_collection_t *c, const char *path, const FileOptions &options) {
    if (!c || !path) return RK_ERR_INVALID_ARG;
    ReadLock guard(c);
    uint64_t token = 0, index_sum = 0;
    if (options.index_path && index_active(c)) {
        token = content_token(c);
        // A failed index save leaves both files of the last completed save
        // as they were, still bound to each other: nothing is lost on disk
        // and the caller hears why.
        const rk_status_t st = save_index_file(c, options.index_path, token, options.sync_dir);
        if (st == RK_ERR_NOT_SUPPORTED) {
            token = 0;  // an index with nothing to save
        } else {
            RK_TRY(st);
            // Unreadable right after it was written: the load would not
            // trust it either, so the collection file binds none.
            if (!file_sum(options.index_path, &index_sum)) token = 0;
        }
    }
    const rk_status_t st = write_file(c, path, token, index_sum, options);
    // Without a bound index, a stale index file would only take room.
    if (st == RK_OK && options.index_path && token == 0) (void)os::remove_file(options.index_path);
    return st;
}

}  // namespace rk::coll

extern "C" {

RK_API rk_status_t rk_collection_save(rk_collection_t *collection, const char *path) {
    rk::coll::FileOptions options;
    options.create_failure = RK_ERR_UNKNOWN;
    return rk::coll::save_file(collection, path, options);
}

}  // extern "C"
