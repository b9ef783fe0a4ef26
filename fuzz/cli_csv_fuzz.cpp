// SPDX-License-Identifier: Apache-2.0
// The csv reader of the zevud tool on hostile bytes: either a ParseError or
// a data set whose sizes agree with each other. The input sits in a buffer
// of exactly its size so any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dataset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    std::span<const uint8_t> bytes(copy.get(), size);
    try {
        // The first line names two metadata columns when it has them.
        zcli::CsvOptions o;
        o.meta_columns = {"cat", "price"};
        for (const zcli::CsvOptions &opt : {zcli::CsvOptions{}, o}) {
            try {
                const zcli::Dataset d = zcli::parse_csv(bytes, opt);
                if (d.data.size() != d.rows * d.dim || d.dim == 0) std::abort();
                for (const zcli::Column &c : d.columns) {
                    const size_t n = c.type == zcli::ColumnType::text ? c.texts.size() : c.numbers.size();
                    if (n != d.rows) std::abort();
                }
            } catch (const zcli::ParseError &e) {
                if (e.offset > size) std::abort();
            }
        }
    } catch (const zcli::ParseError &) {
        std::abort();
    }
    return 0;
}
