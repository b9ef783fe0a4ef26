// SPDX-License-Identifier: Apache-2.0
// The configuration store against a plain model on hostile keys. The input is
// a list of operations: one byte picks set (int, float, bool, string) or a
// check, one byte gives the key's length, the key follows, then the value.
// Every key sits in a buffer of its exact size, so a read past a counted key
// is caught. After the operations both conversions run and their fields are
// checked against the model.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "rk_config.h"
#include "rk_error.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

using Path = std::vector<std::string>;

struct Value {
    int32_t type = RK_CONFIG_INT;
    int64_t i = 0;
    double f = 0;
    int32_t b = 0;
    std::string s;
};

// Split at every '.'; a dot that ends the key adds no empty last segment.
Path split(const std::string &key) {
    Path out;
    size_t pos = 0;
    while (pos < key.size()) {
        const size_t dot = key.find('.', pos);
        if (dot == std::string::npos) {
            out.push_back(key.substr(pos));
            break;
        }
        out.push_back(key.substr(pos, dot - pos));
        pos = dot + 1;
    }
    return out;
}

struct Model {
    std::map<Path, Value> values;  // every node that exists, set or made on the way
    void set(const Path &p, const Value &v) {
        for (size_t n = 1; n < p.size(); ++n) values.emplace(Path(p.begin(), p.begin() + n), Value{});
        values[p] = v;
    }
    const Value *find(const Path &p) const {
        static const Value root;
        if (p.empty()) {
            auto it = values.find(p);
            return it == values.end() ? &root : &it->second;
        }
        auto it = values.find(p);
        return it == values.end() ? nullptr : &it->second;
    }
};

struct Reader {
    const uint8_t *p;
    size_t n;
    bool take(void *out, size_t k) {
        if (n < k) return false;
        std::memcpy(out, p, k);
        p += k;
        n -= k;
        return true;
    }
    std::vector<char> bytes(size_t k) {
        k = k < n ? k : n;
        std::vector<char> v(p, p + k);
        p += k;
        n -= k;
        return v;
    }
};

void check_key(const rk_config_t *cfg, const Model &m, const rk_string_t &key, const Path &path) {
    const Value *v = m.find(path);
    check(rk_config_has_key(cfg, &key) == (v ? 1 : 0));
    const int64_t i = rk_config_get_int(cfg, &key, -12345);
    check(i == (v && v->type == RK_CONFIG_INT ? v->i : -12345));
    const double f = rk_config_get_float(cfg, &key, 0.25);
    const double want_f = v && v->type == RK_CONFIG_FLOAT ? v->f : 0.25;
    check(std::memcmp(&f, &want_f, sizeof f) == 0);
    check(rk_config_get_bool(cfg, &key, -9) == (v && v->type == RK_CONFIG_BOOL ? v->b : -9));
    const rk_string_t def = {"d", 1};
    const rk_string_t *s = rk_config_get_string(cfg, &key, &def);
    if (v && v->type == RK_CONFIG_STRING) {
        check(s != &def && std::string(s->data, s->len) == v->s && s->data[s->len] == '\0');
    } else {
        check(s == &def);
    }
}

void check_conversions(const rk_config_t *cfg, const Model &m) {
    rk_collection_config_t c;
    check(rk_config_to_collection_config(cfg, &c) == RK_OK);
    const Value *dim = m.find({"collection", "dimension"});
    const bool fits = dim && dim->type == RK_CONFIG_INT && dim->i > 0 && dim->i <= int64_t{UINT32_MAX};
    check(c.dimension == (fits ? static_cast<uint32_t>(dim->i) : 128u));
    check(c.metric <= 2 && c.index_type >= 0 && c.index_type <= 2 && c.auto_resize <= 1);
    rk_vecdb_config_t d;
    check(rk_config_to_db_config(cfg, &d) == RK_OK);
    check(d.path.data != nullptr && d.path.data[d.path.len] == '\0');
    check(d.arena_size > 0 && d.cache_size > 0 && d.storage_mode <= 1);
}

void run(rk_config_t *cfg, Reader in) {
    Model m;
    uint8_t op = 0, len = 0;
    while (in.take(&op, 1) && in.take(&len, 1)) {
        const std::vector<char> kb = in.bytes(len);
        const std::string text(kb.begin(), kb.end());
        const rk_string_t key = {kb.empty() ? "" : kb.data(), kb.size()};
        const Path path = split(text);
        Value v;
        v.type = op % 5;
        rk_status_t st = RK_OK;
        if (v.type == RK_CONFIG_INT) {
            if (!in.take(&v.i, sizeof v.i)) return;
            st = rk_config_set(cfg, &key, &v.i, v.type);
        } else if (v.type == RK_CONFIG_FLOAT) {
            if (!in.take(&v.f, sizeof v.f)) return;
            st = rk_config_set(cfg, &key, &v.f, v.type);
        } else if (v.type == RK_CONFIG_BOOL) {
            if (!in.take(&v.b, sizeof v.b)) return;
            st = rk_config_set(cfg, &key, &v.b, v.type);
        } else if (v.type == RK_CONFIG_STRING) {
            uint8_t vlen = 0;
            if (!in.take(&vlen, 1)) return;
            const std::vector<char> vb = in.bytes(vlen);
            v.s.assign(vb.begin(), vb.end());
            v.s = v.s.c_str();  // the value is read up to its first NUL
            st = rk_config_set(cfg, &key, v.s.c_str(), v.type);
        } else {
            check_key(cfg, m, key, path);
            continue;
        }
        check(st == RK_OK);
        m.set(path, v);
        check_key(cfg, m, key, path);
    }
    for (const auto &[p, v] : m.values) {
        std::string joined;
        for (size_t k = 0; k < p.size(); ++k) joined += (k ? "." : "") + p[k];
        // A path ending in an empty segment cannot be spelled back as text.
        if (!p.empty() && p.back().empty()) continue;
        const std::vector<char> kb(joined.begin(), joined.end());
        const rk_string_t key = {kb.empty() ? "" : kb.data(), kb.size()};
        check_key(cfg, m, key, p);
    }
    check_conversions(cfg, m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    rk_arena_t *arena = nullptr;
    if (rk_arena_create(1 << 16, &arena) != RK_OK) return 0;
    rk_config_t *cfg = rk_config_create(arena);
    check(cfg != nullptr);
    run(cfg, Reader{data, size});
    rk_arena_destroy(arena);
    return 0;
}
