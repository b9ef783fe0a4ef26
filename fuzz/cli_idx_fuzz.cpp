// SPDX-License-Identifier: Apache-2.0
// The idx reader of the zevud tool on hostile bytes: either a ParseError or
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
        // Gzip'd input goes through the inflater first, with a small cap.
        std::vector<uint8_t> inflated;
#if ZEVUD_HAVE_ZLIB
        if (zcli::is_gzip(bytes)) {
            inflated = zcli::gunzip(bytes, 1 << 20);
            bytes = std::span<const uint8_t>(inflated);
        }
#endif
        const zcli::Dataset d = zcli::parse_idx(bytes);
        if (d.data.size() != d.rows * d.dim || d.data.size() > bytes.size()) std::abort();
    } catch (const zcli::ParseError &e) {
        if (e.offset > size && e.offset > (1u << 20)) std::abort();
    }
    return 0;
}
