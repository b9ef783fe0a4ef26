// SPDX-License-Identifier: Apache-2.0
// Catalog text: building it for a save and reading it back at open.
#include "db/catalog.h"

#include <cstring>

#include "core/status.h"
#include "platform/file_os.h"
#include "rk_error.h"

namespace rk {

bool CatalogText::add(const char *name, size_t len) {
    size_t need;
    if (!add_size(len_, len, &need) || !add_size(need, 1, &need)) return false;
    if (need > cap_) {
        size_t cap = cap_ < 256 ? 256 : cap_;
        while (cap < need) {
            if (!mul_size(cap, 2, &cap)) return false;
        }
        HookPtr<char> bigger(hook_array<char>(cap));
        if (!bigger) return false;
        if (len_) std::memcpy(bigger.get(), text_.get(), len_);
        text_ = std::move(bigger);
        cap_ = cap;
    }
    std::memcpy(text_.get() + len_, name, len);
    text_.get()[len_ + len] = '\n';
    len_ = need;
    return true;
}

rk_status_t catalog_read(const char *path, char **text, size_t *size) {
    *text = nullptr;
    const int fd = os::open_file(path, os::OpenMode::read);
    if (fd < 0) return os::last_error_status();
    const int64_t n = os::size_fd(fd);
    rk_status_t st = n >= 0 ? RK_OK : os::last_error_status();
    HookPtr<char> buf(st == RK_OK && uint64_t(n) < SIZE_MAX ? hook_array<char>(size_t(n) + 1) : nullptr);
    if (st == RK_OK && !buf) st = RK_ERR_NO_MEMORY;
    if (st == RK_OK) {
        const int64_t got = os::read_at(fd, 0, buf.get(), size_t(n));
        if (got != n) st = got < 0 ? os::last_error_status() : RK_ERR_IO;
    }
    os::close_file(fd);
    RK_TRY(st);
    buf.get()[n] = '\0';
    *size = size_t(n);
    *text = buf.release();
    return RK_OK;
}

}  // namespace rk
