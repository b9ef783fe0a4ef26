// SPDX-License-Identifier: Apache-2.0
// Catalog text: building it for a save and reading it back at open.
#include "db/catalog.h"

#include <cstring>

#include "core/status.h"
#include "platform/file_os.h"

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

char *catalog_read(const char *path, size_t *size, rk_status_t *status) {
    rk_status_t ignored;
    rk_status_t &st = status ? *status : ignored;
    st = RK_ERR_NOT_FOUND;
    const int fd = os::open_file(path, os::OpenMode::read);
    if (fd < 0) return nullptr;
    const int64_t n = os::size_fd(fd);
    char *text = n >= 0 && uint64_t(n) < SIZE_MAX ? hook_array<char>(size_t(n) + 1) : nullptr;
    st = text ? RK_OK : n >= 0 ? RK_ERR_NO_MEMORY : RK_ERR_IO;
    if (text && os::read_at(fd, 0, text, size_t(n)) != n) {
        rk_free(text);
        text = nullptr;
        st = RK_ERR_IO;
    }
    os::close_file(fd);
    if (!text) return nullptr;
    text[n] = '\0';
    *size = size_t(n);
    return text;
}

}  // namespace rk
