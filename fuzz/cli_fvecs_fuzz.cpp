// SPDX-License-Identifier: Apache-2.0
// The fvecs reader of the zevud tool on hostile bytes: either a ParseError or
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
        const zcli::Dataset d = zcli::parse_fvecs(bytes);
        if (d.data.size() != d.rows * d.dim || d.rows * (4 + 4ull * d.dim) != size) std::abort();
    } catch (const zcli::ParseError &e) {
        if (e.offset > size) std::abort();
    }
    return 0;
}
