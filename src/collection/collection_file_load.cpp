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
#include "rk_hash.h"
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

// Fuzzing builds skip the checksums, so that mutated files reach the code
// behind them.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr bool kCheckSums = false;
#else
constexpr bool kCheckSums = kLittleEndianFloats;
#endif

// The header's checksum covers its image up to the checksum field, taken
// with that field 0. A checksum of 0 is a header its writer never sealed
// (writers that put the header through the storage engine field by field);
// it is taken as it is, like a file without the extension block's sums.
bool header_sum_matches(const rk_storage_collection_header_t &h) {
    if (h.checksum == 0) return true;
    rk_storage_collection_header_t zeroed = h;
    zeroed.checksum = 0;
    unsigned char image[storage::kCollectionHeaderSize];
    storage::encode_collection_header(zeroed, image);
    return !kCheckSums || rk_hash_murmur3_32(image, storage::kCollectionChecksumSpan, 0) == h.checksum;
}

rk_status_t read_headers(const Source &src, rk_storage_collection_header_t *h) {
    unsigned char fh[storage::kHeaderSize];
    if (!src.read(0, fh, sizeof fh)) return RK_ERR_FILE_CORRUPTED;
    if (storage::get_u32(fh + storage::kOffMagic) != storage::kMagic) return RK_ERR_FILE_CORRUPTED;
    if ((storage::get_u32(fh + storage::kOffVersion) >> 16) != (storage::kVersion >> 16))
        return RK_ERR_FILE_CORRUPTED;
    unsigned char ch[storage::kCollectionHeaderSize];
    if (!src.read(storage::kHeaderSize, ch, sizeof ch)) return RK_ERR_FILE_CORRUPTED;
    storage::decode_collection_header(ch, h);
    const bool ok = h->magic == RK_STORAGE_COLLECTION_MAGIC && h->dimension != 0 && header_sum_matches(*h);
    return ok ? RK_OK : RK_ERR_FILE_CORRUPTED;
}

// A header that a whole file of whole records must satisfy: the data range
// holds exactly count records and lies inside the file.
bool header_is_whole(const rk_storage_collection_header_t &h, uint64_t file_size, uint64_t rec) {
    if (h.count != 0 && rec > UINT64_MAX / h.count) return false;
    if (uint64_t(h.count) * rec != h.data_size) return false;
    return h.data_offset >= kDataOffset && h.data_offset <= file_size && h.data_size <= file_size - h.data_offset;
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

// Reads n records into c (records array and one block of vectors) and sums
// their bytes. Stops early at a read failure; an id that does not rise is
// damage.
rk_status_t read_records(const Source &src, rk_collection_t *c, const rk_storage_collection_header_t &h,
                         uint64_t n, RecordSum *sum) {
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
            RK_RETURN_IF(c->count > 0 && id <= last_id, RK_ERR_FILE_CORRUPTED);
            sum->add(p, kRecordHead);
            sum->add(p + kRecordHead, size_t(rec - kRecordHead));
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

// The extension block the header points at. None: RK_OK with no sums. A
// block cut off by the end of the file is damage only for a whole load; a
// block that is there but fails its checks always is.
rk_status_t read_extension(const Source &src, rk_collection_t *c, const rk_storage_collection_header_t &h,
                           bool whole, ExtSums *sums) {
    *sums = ExtSums{};
    const uint64_t at = h.reserved[kReservedExtension];
    if (at == 0) return RK_OK;
    const rk_status_t cut = whole ? RK_ERR_FILE_CORRUPTED : RK_OK;
    RK_RETURN_IF(at != h.data_offset + h.data_size || at < h.data_offset, RK_ERR_FILE_CORRUPTED);
    unsigned char head[16];
    if (at > src.size() || src.size() - at < sizeof head || !src.read(at, head, sizeof head)) return cut;
    const uint64_t size = storage::get_u64(head + 8);
    RK_RETURN_IF(size < sizeof head, RK_ERR_FILE_CORRUPTED);
    if (size > src.size() - at) return cut;
    HookPtr<unsigned char> block(hook_array<unsigned char>(size_t(size)));
    RK_RETURN_IF(!block, RK_ERR_NO_MEMORY);
    RK_RETURN_IF(!src.read(at, block.get(), size_t(size)), RK_ERR_IO);
    return ext_apply(c, block.get(), size_t(size), sums) ? RK_OK : RK_ERR_FILE_CORRUPTED;
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

// Each bound alone still allows a table of lists times dimension, or of
// codes times dimension, of 16 GB: together they may claim no more than a
// fixed floor plus a multiple of the file's size.
constexpr uint64_t kTableFloor = 256ull << 20;
constexpr uint64_t kTablePerFileByte = 16;

// The search effort (nprobe, ef_search) is not bounded: it claims no memory
// (searches cap it at the list count and the graph's size), and a user may
// set any value at run time, which must come back as it was saved.
void bound_spec(IndexSpec *s, uint32_t dimension, uint64_t file_size) {
    if (s->type > RK_INDEX_HNSW_SQ) s->type = RK_INDEX_FLAT;
    bool sane = s->nlist <= kMaxLists && s->m <= kMaxLinks && s->ef_construction <= kMaxBeam &&
                s->train_iterations <= kMaxRounds && s->pq_m <= dimension && s->pq_nbits <= 16;
    if (sane) {
        // Centroids and codebooks: at most 2^16 + 2^16 rows of at most 2^32 floats.
        const uint64_t rows = uint64_t(s->nlist) + (s->pq_m ? uint64_t(1) << s->pq_nbits : 0);
        const uint64_t bytes = rows * dimension * sizeof(float);
        const uint64_t budget =
            kTableFloor + (file_size < UINT64_MAX / kTablePerFileByte ? file_size * kTablePerFileByte : 0);
        sane = bytes <= budget;
    }
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

// A fresh index of the header's type, fed every record (the plain load) or
// left empty until it becomes active (lazy).
void make_fed_index(rk_collection_t *c, const rk_storage_collection_header_t &h, uint64_t file_size, bool lazy) {
    if (h.index_type == kNoIndexType || c->dimension > kMaxIndexDim) return;
    c->index = make_index(c, impl_of(c)->spec);
    c->index_enabled = 1;
    if (!c->index || !ids_fit_slots(c, file_size)) return;
    if (lazy && !index_active(c)) {
        impl_of(c)->index_unfed = c->count != 0;
        return;
    }
    for (uint64_t i = 0; i < c->count; ++i)
        (void)rk_index_add(c->index, c->records[i].id, c->records[i].vector);
}

}  // namespace

rk_index_t *load_index_file(const rk_collection_t *c, const char *path, uint64_t token, uint64_t sum) {
    uint64_t have = 0;
    if (kCheckSums && sum != 0 && (!file_sum(path, &have) || have != sum)) return nullptr;
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

rk_status_t load_file_ex(rk_arena_t *arena, const char *path, const FileOptions &options, rk_collection_t **out) {
    *out = nullptr;
    RK_RETURN_IF(!path, RK_ERR_INVALID_ARG);
    Source src;
    rk_storage_collection_header_t h;
    RK_RETURN_IF(!src.open(path), os::last_error_status());
    RK_TRY(read_headers(src, &h));
    const uint64_t rec = kRecordHead + 4ull * h.dimension;
    RK_RETURN_IF(options.whole && !header_is_whole(h, src.size(), rec), RK_ERR_FILE_CORRUPTED);
    const uint64_t n = readable_records(h, src.size(), rec);

    rk_collection_t *c = make_collection(arena, h);
    RK_RETURN_IF(!c, RK_ERR_NO_MEMORY);
    c->created_at = h.created_at;
    c->modified_at = h.modified_at;
    RecordSum sum;
    ExtSums sums;
    rk_status_t st = read_records(src, c, h, n, &sum);
    if (st == RK_OK && options.whole && c->count != h.count) st = RK_ERR_FILE_CORRUPTED;
    impl_of(c)->spec = spec_from_header(h);
    if (st == RK_OK) st = read_extension(src, c, h, options.whole, &sums);
    // The sum covers every record; a cut file (kept only by a plain load)
    // cannot match it.
    if (st == RK_OK && kCheckSums && sums.present && c->count == h.count && sum.value() != sums.records)
        st = RK_ERR_FILE_CORRUPTED;
    if (st != RK_OK) {
        rk_collection_destroy(c);
        return st;
    }
    // Ids handed out must stay above every stored one.
    c->next_id = h.next_id;
    if (c->count > 0 && c->next_id <= c->records[c->count - 1].id)
        c->next_id = c->records[c->count - 1].id + 1;
    bound_spec(&impl_of(c)->spec, c->dimension, src.size());
    *out = c;

    const bool built = h.index_threshold == 0;
    c->index_threshold = built ? kDormantThreshold : h.index_threshold;
    if (options.index_path && built && h.index_type != kNoIndexType) {
        // A damaged index file is left for the records to rebuild.
        c->index = load_index_file(c, options.index_path, h.reserved[kReservedIndexToken], sums.index);
        if (c->index) {
            c->index_enabled = 1;
            c->index_threshold = 0;
            return RK_OK;
        }
    }
    make_fed_index(c, h, src.size(), options.lazy_index);
    return RK_OK;
}

rk_collection_t *load_file(rk_arena_t *arena, const char *path, const FileOptions &options) {
    rk_collection_t *c = nullptr;
    const rk_status_t st = load_file_ex(arena, path, options, &c);
    if (options.load_status) *options.load_status = st;
    return c;
}

}  // namespace rk::coll

extern "C" {

RK_API rk_collection_t *rk_collection_load(rk_arena_t *arena, const char *path) {
    return rk::coll::load_file(arena, path, rk::coll::FileOptions{});
}

}  // extern "C"
