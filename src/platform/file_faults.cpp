// SPDX-License-Identifier: Apache-2.0
// The fault-injection seam under every call that changes a file, shared by
// the POSIX and Windows file layers.
#include <atomic>
#include <cerrno>

#include "platform/file_os.h"

namespace rk::os {

namespace {

constexpr int kFaultKinds = static_cast<int>(Fault::count_);

// Per kind: calls seen, and the call number that must fail (0 = none).
std::atomic<uint64_t> g_fault_calls[kFaultKinds];
std::atomic<uint64_t> g_fault_at[kFaultKinds];

}  // namespace

bool fault_hit(Fault kind) {
    const int k = static_cast<int>(kind);
    const uint64_t n = g_fault_calls[k].fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t at = g_fault_at[k].load(std::memory_order_relaxed);
    if (at == 0 || n != at) return false;
    g_fault_at[k].compare_exchange_strong(at, 0, std::memory_order_relaxed);
    errno = EIO;
    return true;
}

void fault_arm(Fault kind, uint64_t nth) {
    const int k = static_cast<int>(kind);
    if (k < 0 || k >= kFaultKinds) return;
    const uint64_t seen = g_fault_calls[k].load(std::memory_order_relaxed);
    g_fault_at[k].store(nth == 0 ? 0 : seen + nth, std::memory_order_relaxed);
}

void fault_clear() {
    for (int k = 0; k < kFaultKinds; ++k) {
        g_fault_at[k].store(0, std::memory_order_relaxed);
        g_fault_calls[k].store(0, std::memory_order_relaxed);
    }
}

uint64_t fault_calls(Fault kind) {
    const int k = static_cast<int>(kind);
    if (k < 0 || k >= kFaultKinds) return 0;
    return g_fault_calls[k].load(std::memory_order_relaxed);
}

}  // namespace rk::os
