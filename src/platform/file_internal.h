// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the file-system utility sources.
#ifndef RK_PLATFORM_FILE_INTERNAL_H
#define RK_PLATFORM_FILE_INTERNAL_H

#include <cstddef>

#include "rk_common.h"

namespace rk {

// The NUL-terminated text of a path view, or null for a null view.
const char *path_text(const rk_string_t *path);

// A NUL-terminated copy of length bytes of text through the allocator hooks
// (release with rk_free); null when the allocation fails.
char *heap_strdup(const char *text, size_t length);

}  // namespace rk

#endif
