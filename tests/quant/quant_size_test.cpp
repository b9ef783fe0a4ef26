// SPDX-License-Identifier: Apache-2.0
// Size estimates and info texts of the quantisation kinds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "rk_quant.h"

namespace {

TEST(QuantSize, BytesPerKind) {
    EXPECT_EQ(rk_quant_calculate_size(0, 128, 1000), 512000u);
    EXPECT_EQ(rk_quant_calculate_size(1, 128, 1000), 128000u);
    EXPECT_EQ(rk_quant_calculate_size(2, 128, 1000), 128000u);
    EXPECT_EQ(rk_quant_calculate_size(3, 128, 1000), 0u);
    EXPECT_EQ(rk_quant_calculate_size(4, 128, 1000), 8000u);
    EXPECT_EQ(rk_quant_calculate_size(-1, 128, 1000), 0u);
    EXPECT_EQ(rk_quant_calculate_size(5, 128, 1000), 0u);
    // 64-bit products: no 32-bit wrap, and saturation instead of a wrap.
    EXPECT_EQ(rk_quant_calculate_size(1, 65536, 65536), 1ull << 32);
    EXPECT_EQ(rk_quant_calculate_size(0, 4, 1ull << 61), UINT64_MAX);
    EXPECT_EQ(rk_quant_calculate_size(4, 1, 1ull << 61), UINT64_MAX);
    EXPECT_EQ(rk_quant_calculate_size(2, UINT32_MAX, UINT64_MAX), UINT64_MAX);
}

TEST(QuantSize, InfoTexts) {
    EXPECT_STREQ(rk_quant_get_info(1, 1048576, 0), "SQ quantization: 1.00 MB (4x compression)");
    EXPECT_STREQ(rk_quant_get_info(2, 524288, 0), "SQ quantization: 0.50 MB (4x compression)");
    EXPECT_STREQ(rk_quant_get_info(0, 262144, 0), "No quantization: 1.00 MB");
    EXPECT_STREQ(rk_quant_get_info(4, 1048576, 131072), "PQ quantization: 0.12 MB (32.0x compression)");
    EXPECT_STREQ(rk_quant_get_info(9, 0, 0), "Unknown quantization");
    EXPECT_STREQ(rk_quant_get_info(3, 10, 10), "Unknown quantization");
    // n * 4 does not wrap at 32 bits: 2^32 - 1 floats are 16 GiB.
    EXPECT_STREQ(rk_quant_get_info(0, UINT32_MAX, 0), "No quantization: 16384.00 MB");
    EXPECT_STREQ(rk_quant_get_info(4, 16, 0), "PQ quantization: 0.00 MB (infx compression)");
}

TEST(QuantSize, EachThreadKeepsItsOwnText) {
    const char *mine = rk_quant_get_info(1, 1048576, 0);
    std::string other;
    std::thread t([&other] { other = rk_quant_get_info(9, 0, 0); });
    t.join();
    EXPECT_STREQ(mine, "SQ quantization: 1.00 MB (4x compression)");
    EXPECT_EQ(other, "Unknown quantization");
}

}  // namespace
