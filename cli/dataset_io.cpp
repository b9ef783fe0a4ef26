// SPDX-License-Identifier: Apache-2.0
// Reading data files: format by extension, gzip inflation (zlib), and the
// translation of parse faults into one-line messages naming file and offset.
#include <sys/stat.h>
#if ZEVUD_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dataset.h"

namespace zcli {
namespace {

struct FormatName {
    Format format;
    const char *name;
};
constexpr FormatName kFormats[] = {
    {Format::fvecs, "fvecs"}, {Format::bvecs, "bvecs"}, {Format::npy, "npy"},
    {Format::idx, "idx"},     {Format::csv, "csv"},
};

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Inflated data may be much larger than the file; no data set we import is
// beyond this.
constexpr uint64_t kMaxInflated = uint64_t(8) << 30;

}  // namespace

const char *format_name(Format f) {
    for (const FormatName &n : kFormats)
        if (n.format == f) return n.name;
    return "?";
}

std::optional<Format> format_from_name(const std::string &name) {
    for (const FormatName &n : kFormats)
        if (name == n.name) return n.format;
    return std::nullopt;
}

std::optional<Format> format_from_path(const std::string &path) {
    std::string p = path;
    if (ends_with(p, ".gz")) p.resize(p.size() - 3);
    for (const FormatName &n : kFormats)
        if (ends_with(p, std::string(".") + n.name)) return n.format;
    // MNIST-style names: train-images-idx3-ubyte, t10k-labels-idx1-ubyte.
    const size_t slash = p.find_last_of('/');
    const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    if (base.find("-idx") != std::string::npos && base.find("-ubyte") != std::string::npos)
        return Format::idx;
    return std::nullopt;
}

Dataset parse_buffer(Format f, std::span<const uint8_t> bytes, const CsvOptions &options) {
    switch (f) {
        case Format::fvecs:
            return parse_fvecs(bytes);
        case Format::bvecs:
            return parse_bvecs(bytes);
        case Format::npy:
            return parse_npy(bytes);
        case Format::idx:
            return parse_idx(bytes);
        case Format::csv:
            return parse_csv(bytes, options);
    }
    throw ParseError(0, "unknown format");
}

bool is_gzip(std::span<const uint8_t> b) { return b.size() >= 2 && b[0] == 0x1f && b[1] == 0x8b; }

#if ZEVUD_HAVE_ZLIB
std::vector<uint8_t> gunzip(std::span<const uint8_t> bytes, uint64_t limit, std::optional<Format> format) {
    // Enough output to hold any header we read sizes from.
    constexpr size_t kHeaderPrefix = 1 << 16;
    bool header_checked = !format;
    z_stream z{};
    if (inflateInit2(&z, 15 + 32) != Z_OK) throw ParseError(0, "cannot start gzip decompression");
    std::unique_ptr<z_stream, int (*)(z_stream *)> guard(&z, inflateEnd);
    std::vector<uint8_t> out;
    uint8_t chunk[1 << 16];
    uint64_t fed = 0;
    for (;;) {
        // zlib counts in 32-bit units: feed the input in slices.
        if (z.avail_in == 0 && fed < bytes.size()) {
            const uint64_t n = std::min<uint64_t>(bytes.size() - fed, 1u << 30);
            z.next_in = const_cast<Bytef *>(bytes.data() + fed);
            z.avail_in = uInt(n);
            fed += n;
        }
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t got = sizeof chunk - z.avail_out;
        if (out.size() + got > limit) throw ParseError(fed - z.avail_in, "decompressed data is too large");
        out.insert(out.end(), chunk, chunk + got);
        if (!header_checked && (out.size() >= kHeaderPrefix || rc == Z_STREAM_END)) {
            header_checked = true;
            if (const auto need = declared_size(*format, out, kMaxInflated)) {
                if (*need > limit)
                    throw ParseError(0, "the header declares more data than the limit of " +
                                            std::to_string(limit) + " bytes allows");
                // Data past what the header declares would be refused anyway.
                limit = std::max<uint64_t>(*need, out.size());
            }
        }
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            throw ParseError(fed - z.avail_in, std::string("corrupt gzip data") +
                                                   (z.msg ? std::string(" (") + z.msg + ")" : ""));
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed >= bytes.size())
            throw ParseError(bytes.size(), "gzip data ends early");
    }
    return out;
}

namespace {
// Deflate never expands data more than 1032-fold, so a file's inflated size
// is bounded by its own size too.
constexpr uint64_t kMaxRatio = 1032;

std::vector<uint8_t> inflate_file(const std::string &, std::span<const uint8_t> bytes, Format f) {
    uint64_t limit = kMaxInflated;
    if (bytes.size() < limit / kMaxRatio) limit = bytes.size() * kMaxRatio + (1 << 16);
    return gunzip(bytes, limit, f);
}
}  // namespace
#else
namespace {
// Without zlib the system's gzip inflates the file.
std::vector<uint8_t> inflate_file(const std::string &path, std::span<const uint8_t>, Format) {
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE *p = popen(("gzip -dc -- " + quoted).c_str(), "r");
    if (!p) throw ParseError(0, "cannot run gzip to decompress");
    std::vector<uint8_t> out;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        if (out.size() + n > kMaxInflated) {
            pclose(p);
            throw ParseError(0, "decompressed data is too large");
        }
        out.insert(out.end(), buf, buf + n);
    }
    if (pclose(p) != 0) throw ParseError(0, "gzip could not decompress the file");
    return out;
}
}  // namespace
#endif

Dataset load_dataset(const std::string &path, Format f, const CsvOptions &options) {
    FILE *fp = std::fopen(path.c_str(), "rb");
    if (!fp) throw DataError(path + ": cannot open: " + std::strerror(errno));
    std::unique_ptr<FILE, int (*)(FILE *)> close(fp, std::fclose);
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) throw DataError(path + ": not a regular file");
    std::vector<uint8_t> bytes(size_t(st.st_size));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), fp) != bytes.size())
        throw DataError(path + ": read failed");
    bool inflated = false;
    try {
        if (is_gzip(bytes)) {
            bytes = inflate_file(path, bytes, f);
            inflated = true;
        }
    } catch (const ParseError &e) {
        throw DataError(path + ": byte " + std::to_string(e.offset) + ": " + e.what());
    }
    try {
        return parse_buffer(f, bytes, options);
    } catch (const ParseError &e) {
        throw DataError(path + ": byte " + std::to_string(e.offset) +
                        (inflated ? " (after decompression)" : "") + ": " + e.what());
    }
}

}  // namespace zcli
