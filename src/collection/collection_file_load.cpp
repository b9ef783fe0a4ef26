// SPDX-License-Identifier: Apache-2.0
// Loading a collection file. Every count, size and offset taken from the file
// is checked against the file's real size before anything is allocated for
// it, so a damaged or hostile file yields null or fewer records, never a
// crash or an allocation beyond what the file can fill. Records after a cut
// (a truncated file) are simply absent.
#include <bit>
#include <cstring>

#include "collection/collection_file.h"
#include "core/alloc.h"
#include "core/status.h"
#include "index/index.h"
#include "platform/file_os.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "storage/format.h"

namespace rk::coll {
namespace {

constexpr size_t kChunk = 4u << 20;
constexpr size_t kOwnArenaBlock = 0x400000;
constexpr bool kLittleEndianFloats = std::endian::native == std::endian::little;

class Source {
public:
    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source() {
        if (fd_ >= 0) os::close_file(fd_);
    }
    bool open(const char *path) {
        fd_ = os::open_file(path, os::OpenMode::read);
        if (fd_ < 0) return false;
        const int64_t s = os::size_fd(fd_);
        size_ = s < 0 ? 0 : uint64_t(s);
        return s >= 0;
    }
    uint64_t size() const { return size_; }
    bool read(uint64_t offset, void *out, size_t n) const {
        return os::read_at(fd_, offset, out, n) == int64_t(n);
    }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

bool read_headers(const Source &src, rk_storage_collection_header_t *h) {
    unsigned char fh[storage::kHeaderSize];
    if (!src.read(0, fh, sizeof fh)) return false;
    if (storage::get_u32(fh + storage::kOffMagic) != storage::kMagic) return false;
    if ((storage::get_u32(fh + storage::kOffVersion) >> 16) != (storage::kVersion >> 16)) return false;
    unsigned char ch[storage::kCollectionHeaderSize];
    if (!src.read(storage::kHeaderSize, ch, sizeof ch)) return false;
    storage::decode_collection_header(ch, h);
    return h->magic == RK_STORAGE_COLLECTION_MAGIC && h->dimension != 0;
}

// Whole records that lie both inside the header's data range and inside the
// file, at most the header's count.
uint64_t readable_records(const rk_storage_collection_header_t &h, uint64_t file_size, uint64_t rec) {
    if (h.data_offset >= file_size) return 0;
    const uint64_t in_file = (file_size - h.data_offset) / rec;
    const uint64_t in_range = h.data_size / rec + (h.data_size % rec != 0 ? 1 : 0);
    uint64_t n = h.count;
    if (n > in_file) n = in_file;
    if (n > in_range) n = in_range;
    return n;
}

rk_collection_t *make_collection(rk_arena_t *arena, const rk_storage_collection_header_t &h) {
    char name[kNameField + 1] = {};
    std::memcpy(name, h.name, kNameField);
    name[kNameField - 1] = '\0';
    rk_collection_config_t cfg{};
    if (name[0] != '\0') cfg.name = rk_string_t{name, std::strlen(name)};
    cfg.dimension = h.dimension;
    cfg.metric = h.metric;
    cfg.index_type = 0;  // the index is made once the records are in
    return rk_collection_create(arena, &cfg);
}

// Reads n records into c (records array and one block of vectors). Stops
// early at a read failure or at an id that does not rise.
rk_status_t read_records(const Source &src, rk_collection_t *c, const rk_storage_collection_header_t &h,
                         uint64_t n) {
    const uint64_t rec = kRecordHead + 4ull * c->dimension;
    const uint64_t slots = n == 0 ? 1024 : 2 * n;
    auto *records = arena_array<rk_record_t>(c->arena, size_t(slots));
    RK_RETURN_IF(!records, RK_ERR_NO_MEMORY);
    c->records = records;
    c->capacity = slots;
    if (n == 0) return RK_OK;
    const size_t dim = c->dimension;
    auto *vectors = static_cast<float *>(rk_arena_alloc(c->arena, size_t(n) * dim * sizeof(float)));
    RK_RETURN_IF(!vectors, RK_ERR_NO_MEMORY);
    const uint64_t per_chunk = rec >= kChunk ? 1 : kChunk / rec;
    HookPtr<unsigned char> buf(hook_array<unsigned char>(size_t(per_chunk * rec)));
    RK_RETURN_IF(!buf, RK_ERR_NO_MEMORY);
    uint64_t last_id = 0;
    for (uint64_t done = 0; done < n;) {
        const uint64_t take = n - done < per_chunk ? n - done : per_chunk;
        if (!src.read(h.data_offset + done * rec, buf.get(), size_t(take * rec))) break;
        for (uint64_t i = 0; i < take; ++i) {
            const unsigned char *p = buf.get() + i * rec;
            const uint64_t id = storage::get_u64(p);
            if (c->count > 0 && id <= last_id) return RK_OK;
            float *v = vectors + (done + i) * dim;
            if (kLittleEndianFloats) {
                std::memcpy(v, p + kRecordHead, dim * sizeof(float));
            } else {
                for (size_t d = 0; d < dim; ++d) v[d] = storage::get_f32(p + kRecordHead + 4 * d);
            }
            c->records[c->count] = rk_record_t{id, v, nullptr, 0};
            c->count++;
            last_id = id;
        }
        done += take;
    }
    return RK_OK;
}

// The extension block, if the header points at a well-placed one.
// RK_ERR_NO_MEMORY when it cannot be held: loading on without it would drop
// the metadata that the next save then writes away for good.
rk_status_t read_extension(const Source &src, rk_collection_t *c, const rk_storage_collection_header_t &h) {
    const uint64_t at = h.reserved[kReservedExtension];
    if (at == 0 || at != h.data_offset + h.data_size || at < h.data_offset) return RK_OK;
    unsigned char head[16];
    if (at > src.size() || src.size() - at < sizeof head || !src.read(at, head, sizeof head)) return RK_OK;
    const uint64_t size = storage::get_u64(head + 8);
    if (size < sizeof head || size > src.size() - at) return RK_OK;
    HookPtr<unsigned char> block(hook_array<unsigned char>(size_t(size)));
    RK_RETURN_IF(!block, RK_ERR_NO_MEMORY);
    if (!src.read(at, block.get(), size_t(size))) return RK_OK;
    (void)ext_apply(c, block.get(), size_t(size));
    return RK_OK;
}

// Index settings read from a file are used only within the bounds any
// collection of this library could have written; others fall back to the
// defaults of the type, so a hostile file cannot make index creation claim
// memory the file does not justify.
constexpr uint32_t kMaxLists = 65536;
constexpr uint32_t kMaxLinks = 1024;
constexpr uint32_t kMaxBeam = 1u << 16;
constexpr uint32_t kMaxRounds = 1000;
constexpr uint32_t kMaxIndexDim = 1u << 16;

// The search effort (nprobe, ef_search) is not bounded: it claims no memory
// (searches cap it at the list count and the graph's size), and a user may
// set any value at run time, which must come back as it was saved.
void bound_spec(IndexSpec *s, uint32_t dimension) {
    if (s->type > RK_INDEX_HNSW_SQ) s->type = RK_INDEX_FLAT;
    const bool sane = s->nlist <= kMaxLists && s->m <= kMaxLinks && s->ef_construction <= kMaxBeam &&
                      s->train_iterations <= kMaxRounds && s->pq_m <= dimension && s->pq_nbits <= 16;
    if (sane) return;
    rk_collection_config_t cfg{};
    cfg.index_type = int32_t(s->type);
    *s = spec_for(&cfg);
}

// A graph keeps one slot per id up to the largest, so ids far beyond what
// the file's records justify would make feeding it claim that much memory.
constexpr uint64_t kSlotFloor = 64ull << 20;
constexpr uint64_t kSlotPerFileByte = 16;

bool ids_fit_slots(const rk_collection_t *c, uint64_t file_size) {
    if (c->count == 0 || rk_index_get_type(c->index) % 2 == 1) return true;
    const uint64_t top = c->records[c->count - 1].id;
    const uint64_t budget =
        kSlotFloor + (file_size < UINT64_MAX / kSlotPerFileByte ? file_size * kSlotPerFileByte : 0);
    return top < budget / 16;
}

// The specified way: a fresh index of the header's type, fed every record.
void make_fed_index(rk_collection_t *c, const rk_storage_collection_header_t &h, uint64_t file_size) {
    if (h.index_type == kNoIndexType || c->dimension > kMaxIndexDim) return;
    c->index = make_index(c, impl_of(c)->spec);
    c->index_enabled = 1;
    if (!c->index || !ids_fit_slots(c, file_size)) return;
    for (uint64_t i = 0; i < c->count; ++i)
        (void)rk_index_add(c->index, c->records[i].id, c->records[i].vector);
}

}  // namespace

rk_index_t *load_index_file(const rk_collection_t *c, const char *path, uint64_t token) {
    {
        Source src;
        unsigned char trailer[kIndexTrailerSize];
        if (token == 0 || !src.open(path) || src.size() < kIndexTrailerSize) return nullptr;
        if (!src.read(src.size() - kIndexTrailerSize, trailer, sizeof trailer)) return nullptr;
        if (storage::get_u64(trailer) != token || storage::get_u32(trailer + 8) != kIndexTrailerMagic) {
            return nullptr;
        }
    }
    rk_arena_t *arena = nullptr;
    if (rk_arena_create(kOwnArenaBlock, &arena) != RK_OK) return nullptr;
    const rk_string_t name{path, std::strlen(path)};
    rk_index_t *index = rk_index_load(arena, &name);
    const IndexSpec &s = impl_of(c)->spec;
    if (!index || rk_index_get_dim(index) != c->dimension || rk_index_get_type(index) != s.type) {
        if (index) rk_index_destroy(index);
        rk_arena_destroy(arena);
        return nullptr;
    }
    index->owns_arena = true;
    return index;
}

rk_collection_t *load_file(rk_arena_t *arena, const char *path, const FileOptions &options) {
    rk_status_t ignored;
    rk_status_t &why = options.load_status ? *options.load_status : ignored;
    why = RK_ERR_INVALID_ARG;
    if (!path) return nullptr;
    Source src;
    rk_storage_collection_header_t h;
    why = src.open(path) ? RK_OK : os::last_error_status();
    if (why != RK_OK) return nullptr;
    why = read_headers(src, &h) ? RK_OK : RK_ERR_FILE_CORRUPTED;
    if (why != RK_OK) return nullptr;
    const uint64_t rec = kRecordHead + 4ull * h.dimension;
    const uint64_t n = readable_records(h, src.size(), rec);

    rk_collection_t *c = make_collection(arena, h);
    // The header was checked, so only memory can make creation fail.
    why = c ? RK_OK : RK_ERR_NO_MEMORY;
    if (!c) return nullptr;
    c->created_at = h.created_at;
    c->modified_at = h.modified_at;
    why = read_records(src, c, h, n);
    if (why != RK_OK) {
        rk_collection_destroy(c);
        return nullptr;
    }
    // Ids handed out must stay above every stored one.
    c->next_id = h.next_id;
    if (c->count > 0 && c->next_id <= c->records[c->count - 1].id)
        c->next_id = c->records[c->count - 1].id + 1;
    impl_of(c)->spec = spec_from_header(h);
    why = read_extension(src, c, h);
    if (why != RK_OK) {
        rk_collection_destroy(c);
        return nullptr;
    }
    bound_spec(&impl_of(c)->spec, c->dimension);

    const bool built = h.index_threshold == 0;
    c->index_threshold = built ? kDormantThreshold : h.index_threshold;
    if (options.index_path && built && h.index_type != kNoIndexType) {
        c->index = load_index_file(c, options.index_path, h.reserved[kReservedIndexToken]);
        if (c->index) {
            c->index_enabled = 1;
            c->index_threshold = 0;
            return c;
        }
    }
    make_fed_index(c, h, src.size());
    return c;
}

}  // namespace rk::coll

extern "C" {

RK_API rk_collection_t *rk_collection_load(rk_arena_t *arena, const char *path) {
    return rk::coll::load_file(arena, path, rk::coll::FileOptions{});
}

}  // extern "C"
