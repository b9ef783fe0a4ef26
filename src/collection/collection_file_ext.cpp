// SPDX-License-Identifier: Apache-2.0
// The extension block of a collection file: what the fixed header cannot
// hold. Layout (little-endian, packed):
//
//   0   u32  magic "RKCX"
//   4   u32  version (2; version 1 lacks the two sums at 60; version 3 adds
//            the build seed after the metadata)
//   8   u64  block size in bytes, checksum included
//   16  11 x u32 index settings: type, metric, quantization, pq_m, pq_nbits,
//            m, ef_construction, ef_search, nlist, nprobe, train_iterations
//   60  u64  sum of the record data (see RecordSum)
//   68  u64  sum of the index file saved with this file (0: none)
//   76  u32  name length (0xFFFFFFFF: no name), then the name's bytes
//   ..  u64  number of records with metadata, then for each: id (u64),
//            entry count (u64), and per entry: key (text), type (i32), value
//            (type 5: text; any other type: the 16 value bytes as they lie)
//   ..  u64  build seed (version 3 only, written when one was set)
//   end u32  MurmurHash3 x86 32 (seed 0) of every byte before it
//
// A text is a u32 length (0xFFFFFFFF for a null pointer) and that many bytes.
#include <cstring>

#include "collection/collection_file.h"
#include "core/alloc.h"
#include "core/status.h"
#include "platform/file_os.h"
#include "rk_hash.h"
#include "storage/format.h"

namespace rk::coll {
namespace {

constexpr uint32_t kExtMagic = 0x524B4358;  // "RKCX"
constexpr uint32_t kExtVersion = 2;
constexpr uint32_t kExtVersionNoSums = 1;
constexpr uint32_t kExtVersionSeed = 3;
constexpr uint32_t kNullText = 0xFFFFFFFFu;
constexpr size_t kSpecWords = 11;
constexpr size_t kFixedHead = 16 + 4 * kSpecWords;
constexpr size_t kSumsAt = kFixedHead;
// An entry takes at least a key length, a type and a 4-byte value head.
constexpr uint64_t kMinEntryBytes = 12;

void spec_words(const IndexSpec &s, uint32_t w[kSpecWords]) {
    const uint32_t v[kSpecWords] = {s.type,     s.metric, s.quantization,    s.pq_m,
                                    s.pq_nbits, s.m,      s.ef_construction, s.ef_search,
                                    s.nlist,    s.nprobe, s.train_iterations};
    std::memcpy(w, v, sizeof v);
}

IndexSpec spec_of_words(const uint32_t w[kSpecWords]) {
    return IndexSpec{w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], 0};
}

bool same_spec(const IndexSpec &a, const IndexSpec &b) {
    uint32_t x[kSpecWords], y[kSpecWords];
    spec_words(a, x);
    spec_words(b, y);
    return std::memcmp(x, y, sizeof x) == 0;
}

// Two passes over the same code: one counts, one writes.
class Out {
public:
    explicit Out(unsigned char *p) : p_(p) {}
    void bytes(const void *src, size_t n) {
        if (p_ && n) std::memcpy(p_ + n_, src, n);
        n_ += n;
    }
    void u32(uint32_t v) {
        unsigned char b[4];
        storage::put_u32(b, v);
        bytes(b, 4);
    }
    void u64(uint64_t v) {
        unsigned char b[8];
        storage::put_u64(b, v);
        bytes(b, 8);
    }
    void text(const char *data, uint64_t len) {
        if (!data) return u32(kNullText);
        u32(uint32_t(len));
        bytes(data, size_t(len));
    }
    size_t size() const { return n_; }

private:
    unsigned char *p_;
    size_t n_ = 0;
};

// Texts longer than a u32 can say are refused; no real key or value is.
bool texts_fit(const rk_collection_t *c) {
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t &r = c->records[i];
        for (uint64_t j = 0; j < r.metadata_count; ++j) {
            const rk_meta_entry_t &e = r.metadata[j];
            if (e.key.len >= kNullText) return false;
            if (e.type == RK_META_STRING && e.value.str.len >= kNullText) return false;
        }
    }
    return true;
}

void emit(Out &out, const rk_collection_t *c, uint64_t with_meta, uint64_t total) {
    const uint64_t seed = impl_of(c)->spec.seed;
    out.u32(kExtMagic);
    out.u32(seed ? kExtVersionSeed : kExtVersion);
    out.u64(total);
    uint32_t w[kSpecWords];
    spec_words(impl_of(c)->spec, w);
    for (uint32_t v : w) out.u32(v);
    out.u64(0);  // the sums are filled in by ext_seal
    out.u64(0);
    out.text(c->name, c->name ? std::strlen(c->name) : 0);
    out.u64(with_meta);
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t &r = c->records[i];
        if (r.metadata_count == 0 || !r.metadata) continue;
        out.u64(r.id);
        out.u64(r.metadata_count);
        for (uint64_t j = 0; j < r.metadata_count; ++j) {
            const rk_meta_entry_t &e = r.metadata[j];
            out.text(e.key.data, e.key.len);
            out.u32(uint32_t(e.type));
            if (e.type == RK_META_STRING) {
                out.text(e.value.str.data, e.value.str.len);
            } else {
                out.bytes(&e.value, sizeof e.value);
            }
        }
    }
    if (seed) out.u64(seed);
}

// Bounds-checked reading of a block.
class In {
public:
    In(const unsigned char *p, size_t n) : p_(p), n_(n) {}
    size_t left() const { return n_ - at_; }
    bool u32(uint32_t *v) {
        if (left() < 4) return false;
        *v = storage::get_u32(p_ + at_);
        at_ += 4;
        return true;
    }
    bool u64(uint64_t *v) {
        if (left() < 8) return false;
        *v = storage::get_u64(p_ + at_);
        at_ += 8;
        return true;
    }
    bool bytes(void *dst, size_t n) {
        if (left() < n) return false;
        std::memcpy(dst, p_ + at_, n);
        at_ += n;
        return true;
    }
    // A text copied into the arena with a NUL after it.
    bool text(rk_arena_t *arena, rk_string_t *out) {
        uint32_t len;
        if (!u32(&len)) return false;
        if (len == kNullText) {
            *out = rk_string_t{nullptr, 0};
            return true;
        }
        if (left() < len) return false;
        char *copy = static_cast<char *>(rk_arena_alloc(arena, size_t(len) + 1));
        if (!copy) return false;
        std::memcpy(copy, p_ + at_, len);
        copy[len] = '\0';
        at_ += len;
        *out = rk_string_t{copy, len};
        return true;
    }

private:
    const unsigned char *p_;
    size_t n_;
    size_t at_ = 0;
};

bool read_entry(In &in, rk_arena_t *arena, rk_meta_entry_t *e) {
    uint32_t type;
    if (!in.text(arena, &e->key) || !in.u32(&type)) return false;
    e->type = int32_t(type);
    if (e->type == RK_META_STRING) {
        std::memset(&e->value, 0, sizeof e->value);
        return in.text(arena, &e->value.str);
    }
    return in.bytes(&e->value, sizeof e->value);
}

bool read_metadata(In &in, rk_collection_t *c) {
    uint64_t records;
    if (!in.u64(&records) || records > in.left() / 16) return false;
    for (uint64_t i = 0; i < records; ++i) {
        uint64_t id, n;
        if (!in.u64(&id) || !in.u64(&n) || n == 0 || n > in.left() / kMinEntryBytes) return false;
        auto *entries = arena_array<rk_meta_entry_t>(c->arena, size_t(n));
        if (!entries) return false;
        for (uint64_t j = 0; j < n; ++j) {
            if (!read_entry(in, c->arena, &entries[j])) return false;
        }
        // Records cut off by a truncated file have no slot to take it.
        const uint64_t pos = find(c, id);
        if (pos == kNotFound) continue;
        c->records[pos].metadata = entries;
        c->records[pos].metadata_count = n;
    }
    return true;
}

}  // namespace

void RecordSum::add(const void *data, size_t n) { sum_ = rk_hash_murmur3_64(data, n, sum_); }

bool file_sum(const char *path, uint64_t *out) {
    constexpr size_t kPiece = 1u << 20;
    const int fd = os::open_file(path, os::OpenMode::read);
    if (fd < 0) return false;
    HookPtr<unsigned char> buf(hook_array<unsigned char>(kPiece));
    RecordSum sum;
    bool ok = buf != nullptr;
    for (uint64_t at = 0; ok;) {
        const int64_t got = os::read_at(fd, at, buf.get(), kPiece);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        sum.add(buf.get(), size_t(got));
        at += uint64_t(got);
    }
    os::close_file(fd);
    *out = sum.value();
    return ok;
}

rk_status_t ext_build(const rk_collection_t *c, const rk_storage_collection_header_t &h, bool always,
                      unsigned char **out, size_t *size) {
    *out = nullptr;
    *size = 0;
    uint64_t with_meta = 0;
    for (uint64_t i = 0; i < c->count; ++i) {
        if (c->records[i].metadata_count != 0 && c->records[i].metadata) ++with_meta;
    }
    const bool long_name = c->name && std::strlen(c->name) >= kNameField;
    const bool spec_differs =
        !same_spec(impl_of(c)->spec, spec_from_header(h)) || impl_of(c)->spec.seed != 0;
    if (!always && with_meta == 0 && !long_name && !spec_differs) return RK_OK;
    RK_RETURN_IF(!texts_fit(c), RK_ERR_INVALID_ARG);
    Out counter(nullptr);
    emit(counter, c, with_meta, 0);
    const size_t total = counter.size() + 4;
    unsigned char *block = hook_array<unsigned char>(total);
    RK_RETURN_IF(!block, RK_ERR_NO_MEMORY);
    Out writer(block);
    emit(writer, c, with_meta, total);
    ext_seal(block, total, ExtSums{});
    *out = block;
    *size = total;
    return RK_OK;
}

void ext_seal(unsigned char *block, size_t size, const ExtSums &sums) {
    storage::put_u64(block + kSumsAt, sums.records);
    storage::put_u64(block + kSumsAt + 8, sums.index);
    storage::put_u32(block + size - 4, rk_hash_murmur3_32(block, size - 4, 0));
}

bool ext_apply(rk_collection_t *c, const unsigned char *block, size_t size, ExtSums *sums) {
    *sums = ExtSums{};
    if (size < kFixedHead + 4) return false;
    const uint32_t version = storage::get_u32(block + 4);
    if (storage::get_u32(block) != kExtMagic ||
        (version != kExtVersion && version != kExtVersionNoSums && version != kExtVersionSeed))
        return false;
    if (storage::get_u64(block + 8) != size) return false;
    if (storage::get_u32(block + size - 4) != rk_hash_murmur3_32(block, size - 4, 0)) return false;
    In in(block + 16, size - 20);
    uint32_t w[kSpecWords];
    for (uint32_t &v : w) {
        if (!in.u32(&v)) return false;
    }
    ExtSums read{};
    if (version != kExtVersionNoSums) {
        if (!in.u64(&read.records) || !in.u64(&read.index)) return false;
        read.present = true;
    }
    rk_string_t name;
    if (!in.text(c->arena, &name)) return false;
    if (!read_metadata(in, c)) return false;
    uint64_t seed = 0;
    if (version == kExtVersionSeed && (!in.u64(&seed) || seed == 0)) return false;
    if (in.left() != 0) return false;
    impl_of(c)->spec = spec_of_words(w);
    impl_of(c)->spec.seed = seed;
    if (name.data && name.len > 0 && std::strlen(name.data) == name.len)
        c->name = const_cast<char *>(name.data);
    *sums = read;
    return true;
}

}  // namespace rk::coll
