// SPDX-License-Identifier: Apache-2.0
// The catalog of a database directory (.rkmeta): the names of the registered
// collections in registry order, each followed by one line feed, nothing
// else. Readers end a line at a line feed or a NUL byte, skip empty lines and
// ignore text after the last terminator; a carriage return is part of a name.
#ifndef RK_DB_CATALOG_H
#define RK_DB_CATALOG_H

#include <cstddef>
#include <cstdint>

#include "core/alloc.h"
#include "rk_common.h"

namespace rk {

// Growing catalog text in hook memory; no fixed size limit.
class CatalogText {
public:
    // Appends name and a line feed; false when memory runs out.
    [[nodiscard]] bool add(const char *name, size_t len);
    const char *data() const { return text_.get(); }
    size_t size() const { return len_; }

private:
    HookPtr<char> text_;
    size_t len_ = 0;
    size_t cap_ = 0;
};

// Calls fn(name, len) for every non-empty terminated line of text, in order.
template <class Fn>
void catalog_for_each(const char *text, size_t size, Fn &&fn) {
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] != '\n' && text[i] != '\0') continue;
        if (i > start) fn(text + start, i - start);
        start = i + 1;
    }
}

// Reads a whole file into hook memory (*text, *size bytes, NUL after them).
// RK_ERR_NOT_FOUND when it is missing; RK_ERR_NO_MEMORY; the system's cause
// when it cannot be read. *text is null after a failure.
[[nodiscard]] rk_status_t catalog_read(const char *path, char **text, size_t *size);

}  // namespace rk

#endif
