// SPDX-License-Identifier: Apache-2.0
// Vector data sets the tool can import: .fvecs, .bvecs, .npy (float32, 2-D,
// C order), IDX (the MNIST container, optionally gzip'd) and CSV. Each
// parser works on a byte buffer so fuzz targets and tests reach it without
// files, checks every declared size against the bytes that are really there
// before it allocates, and reports the first fault as a ParseError with the
// byte offset where it was found.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zcli {

// A malformed input, found at byte `offset` of the (decompressed) data.
struct ParseError : std::runtime_error {
    uint64_t offset;
    ParseError(uint64_t off, const std::string &msg) : std::runtime_error(msg), offset(off) {}
};

// A file that cannot be read or parsed; what() is the one-line message.
struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class ColumnType { number, text, boolean };

// One metadata column of a CSV import: values for every row.
struct Column {
    std::string name;
    ColumnType type = ColumnType::number;
    std::vector<double> numbers;     // type number (and boolean as 0/1)
    std::vector<std::string> texts;  // type text
};

struct Dataset {
    uint64_t rows = 0;
    uint32_t dim = 0;
    std::vector<float> data;  // rows x dim, row-major
    std::vector<Column> columns;

    const float *row(uint64_t i) const { return data.data() + i * dim; }
};

enum class Format { fvecs, bvecs, npy, idx, csv };

// Largest vector dimension any reader accepts.
inline constexpr uint64_t kMaxDim = 1u << 20;

const char *format_name(Format f);
// The format named by a file's extension (".gz" is looked through), if any.
std::optional<Format> format_from_path(const std::string &path);
std::optional<Format> format_from_name(const std::string &name);

struct CsvOptions {
    // Header columns holding metadata instead of vector components.
    std::vector<std::string> meta_columns;
};

Dataset parse_fvecs(std::span<const uint8_t> bytes);
Dataset parse_bvecs(std::span<const uint8_t> bytes);
Dataset parse_npy(std::span<const uint8_t> bytes);
Dataset parse_idx(std::span<const uint8_t> bytes);
Dataset parse_csv(std::span<const uint8_t> bytes, const CsvOptions &options = {});
Dataset parse_buffer(Format f, std::span<const uint8_t> bytes, const CsvOptions &options = {});

// The whole size in bytes a file of format f must have, as the header at the
// start of `prefix` declares it (IDX and .npy; UINT64_MAX when the count
// overflows or its vectors would pass `limit` bytes of floats); nullopt when
// the format declares none or the prefix is too short to tell.
std::optional<uint64_t> declared_size(Format f, std::span<const uint8_t> prefix, uint64_t limit);

// True when the bytes start with the gzip magic.
bool is_gzip(std::span<const uint8_t> bytes);
#if ZEVUD_HAVE_ZLIB
// Inflates a gzip stream, refusing more than `limit` output bytes. With a
// format, the size its header declares is checked against the limit as soon
// as the header is inflated, before the body, and then bounds the output.
std::vector<uint8_t> gunzip(std::span<const uint8_t> bytes, uint64_t limit,
                            std::optional<Format> format = std::nullopt);
#endif

// Reads and parses a whole file (gzip'd input is inflated first). Any fault
// becomes a DataError "PATH: byte N: what" (or "PATH: what" for I/O).
Dataset load_dataset(const std::string &path, Format f, const CsvOptions &options = {});

}  // namespace zcli
