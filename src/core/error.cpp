// SPDX-License-Identifier: Apache-2.0
// Status messages, descriptions, categories and the process-wide error record.
#include <cstdio>

#include "rk_error.h"
#include "rk_platform.h"

namespace {

#define RK_MESSAGE_ENTRY_(name, value, category, message, description) message,
#define RK_DESCRIPTION_ENTRY_(name, value, category, message, description) description,
constexpr const char *kMessages[] = {RK_STATUS_MAP(RK_MESSAGE_ENTRY_)};
// Descriptions of the error codes only: position 0 is that of -1.
constexpr const char *kDescriptionsWithOk[] = {RK_STATUS_MAP(RK_DESCRIPTION_ENTRY_)};
#undef RK_MESSAGE_ENTRY_
#undef RK_DESCRIPTION_ENTRY_
static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == 36, "36 messages");

constexpr const char kUnknownMessage[] = "Unknown error";
constexpr const char kUnknownDescription[] = "An unknown error occurred";

// Position of a status in the message table, or -1 outside the four bands.
// The bands are contiguous in the table, so a position follows from the band.
int message_position(rk_status_t status) {
    if (status >= 0) return 0;
    if (status >= -13) return -status;
    if (status <= -100 && status >= -110) return 14 + (-100 - status);
    if (status <= -200 && status >= -206) return 25 + (-200 - status);
    if (status <= -300 && status >= -303) return 32 + (-300 - status);
    return -1;
}

constexpr const char *kCategoryNames[] = {"Success", "General", "VectorDatabase", "Storage",
                                          "Concurrency"};

constexpr const char *kCompactMessages[] = {
    "Success",          "Invalid argument",     "Out of memory",       "File not found",
    "File I/O error",   "Index not found",      "Collection not found", "Vector not found",
    "Invalid vector dimension", "Invalid index type", "Invalid operation", "Duplicate key",
    "Lock error",       "Network error",        "Timeout",             "Unsupported feature",
    "Internal error",   "Unknown error"};
static_assert(sizeof(kCompactMessages) / sizeof(kCompactMessages[0]) == 18, "18 compact texts");

rk_error_t g_error = {0, 0, "Success", nullptr, nullptr, 0, nullptr, 0};

}  // namespace

extern "C" {

RK_API const char *rk_error_message(rk_status_t status) {
    const int pos = message_position(status);
    return pos < 0 ? kUnknownMessage : kMessages[pos];
}

RK_API const char *rk_error_description(rk_status_t status) {
    // The description table of the error codes sits one position below the
    // message table; here it keeps RK_OK's entry at 0, so the index matches.
    const int pos = message_position(status);
    return pos < 0 ? kUnknownDescription : kDescriptionsWithOk[pos];
}

RK_API int rk_error_get_category(rk_status_t status) {
    if (status >= 0) return RK_CATEGORY_SUCCESS;
    if (status >= -99) return RK_CATEGORY_GENERAL;
    if (status >= -199) return RK_CATEGORY_VECTOR_DATABASE;
    if (status >= -299) return RK_CATEGORY_STORAGE;
    if (status >= -399) return RK_CATEGORY_CONCURRENCY;
    return RK_CATEGORY_UNKNOWN;
}

RK_API const char *rk_error_category_name(int category) {
    if (category < 0 || category > 4) return "Unknown";
    return kCategoryNames[category];
}

RK_API int rk_error_is_success(rk_status_t status) { return status == RK_OK ? 1 : 0; }

RK_API int rk_error_is_fatal(rk_status_t status) {
    return (status == RK_ERR_NO_MEMORY || status == RK_ERR_FILE_CORRUPTED ||
            status == RK_ERR_DISK_FULL || status == RK_ERR_DEADLOCK)
               ? 1
               : 0;
}

RK_API void rk_error_set(rk_status_t status, const void *file, int line, const void *function,
                         const void *detail) {
    g_error.status = status;
    g_error.category = rk_error_get_category(status);
    g_error.message = rk_error_message(status);
    g_error.detail = detail;
    g_error.file = file;
    g_error.line = line;
    g_error.function = function;
    g_error.timestamp = rk_time_now();
}

RK_API void rk_error_get(rk_error_t *out) {
    if (out) *out = g_error;
}

RK_API void rk_error_clear(void) {
    g_error.status = 0;
    g_error.category = 0;
    g_error.message = kMessages[0];
    g_error.detail = nullptr;
    g_error.file = nullptr;
    g_error.function = nullptr;
    g_error.line = 0;
}

RK_API rk_status_t rk_error_get_last_status(void) { return g_error.status; }

RK_API int rk_error_has_error(void) { return g_error.status != 0 ? 1 : 0; }

RK_API int64_t rk_error_format(char *buf, size_t size, rk_status_t status, const char *fmt, ...) {
    if (!buf || size == 0) return 0;
    const int n = std::snprintf(buf, size, "[%s] %s", rk_error_category_name(rk_error_get_category(status)),
                                rk_error_message(status));
    if (fmt && n > 0 && static_cast<size_t>(n) < size) {
        va_list ap;
        va_start(ap, fmt);
        const int c = std::vsnprintf(buf + n, size - static_cast<size_t>(n), fmt, ap);
        va_end(ap);
        if (c > 0) return static_cast<int64_t>(n) + c;
    }
    return n;
}

RK_API rk_status_t rk_status_from_errno(int errnum) {
    switch (errnum) {
        case 2: return RK_ERR_NOT_FOUND;
        case 5: return RK_ERR_IO;
        case 12: return RK_ERR_NO_MEMORY;
        case 16: return RK_ERR_BUSY;
        case 22: return RK_ERR_INVALID_ARG;
        case 138: return RK_ERR_TIMEOUT;
        default: return RK_ERR_UNKNOWN;
    }
}

RK_API const char *rk_strerror(int index) {
    if (index < 0 || index > 17) return kUnknownMessage;
    return kCompactMessages[index];
}

RK_API const char *rk_status_to_string(int index) { return rk_strerror(index); }

}  // extern "C"
