/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_log.h - levelled logging to the console, a file or a callback
 *
 * One logger per process, for host programs (the library itself never
 * logs). A message below the threshold level is dropped before it is
 * formatted. A message that passes goes to the callback when one is
 * installed; otherwise it is expanded into one line by the line template and
 * written, newline-terminated and flushed at once, to the console (standard
 * error for RK_LOG_ERROR and above, standard output below) and/or the log
 * file. A RK_LOG_FATAL line aborts the process once it has been written and
 * flushed; with a callback installed the process goes on.
 *
 * Threading: any thread may log and change settings. One process-wide lock
 * serialises the callback call, line building and output, so lines never
 * interleave; the message text is formatted before the lock is taken, and the
 * threshold test reads the level without it. The lock is recursive: a
 * callback may log, but must then guard against its own recursion.
 */
#ifndef RK_LOG_H
#define RK_LOG_H

#include <stdarg.h>

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- logging ---- */

/** Severity of a message; the threshold drops everything below it. */
typedef enum rk_log_level_t {
    RK_LOG_TRACE = 0, /**< "TRACE" */
    RK_LOG_DEBUG = 1, /**< "DEBUG" */
    RK_LOG_INFO = 2,  /**< "INFO" (the default threshold) */
    RK_LOG_WARN = 3,  /**< "WARN" */
    RK_LOG_ERROR = 4, /**< "ERROR" */
    RK_LOG_FATAL = 5  /**< "FATAL": aborts after the line is written, unless a callback takes it */
} rk_log_level_t;

/**
 * Receives every message that passes the threshold while installed, under
 * the logger lock, instead of console and file output.
 * @param level        the message's level
 * @param file         the source file exactly as the caller passed it
 * @param line         the source line
 * @param function     the function name as passed
 * @param timestamp_ms calendar time in milliseconds since 1970-01-01 UTC
 * @param message      the formatted message (at most 2047 characters);
 *                     valid only during the call
 * @param user_data    as given to rk_log_set_callback
 */
typedef void (*rk_log_callback_fn)(uint32_t level, const char *file, uint32_t line,
                                   const char *function, int64_t timestamp_ms,
                                   const char *message, void *user_data);

/** Length limits: message text, whole line, stored template (characters, NUL excluded). */
#define RK_LOG_MESSAGE_MAX 2047
#define RK_LOG_LINE_MAX 4095
#define RK_LOG_FORMAT_MAX 255

/** Default line template: "[time] [LEVEL] file:line function: message". */
#define RK_LOG_DEFAULT_FORMAT "[%T] [%L] %F:%N %M: %m"

/**
 * Logs one message. Below the threshold (signed comparison) it returns at
 * once without formatting. Otherwise format and arguments are expanded with
 * printf conventions, cut at 2047 characters, and delivered as the file
 * comment describes. The line template's directives:
 *   %T  local time "YYYY-MM-DD hh:mm:ss.mmm"
 *   %L  the level name left-aligned in five columns
 *   %F  the base name of file (after the last '/' or, failing that, '\')
 *   %N  the line number   %M  the function name   %m  the message
 *   %%  and a '%' ending the template give one '%'; '%' followed by any other
 *   character gives nothing.
 * Lines are cut at 4095 characters. Output errors are ignored. Null file,
 * function or format count as empty text. Thread-safe.
 */
RK_API void rk_log_write(rk_log_level_t level, const char *file, int line, const char *function,
                         const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;

/** As rk_log_write with an argument list; args is consumed only when the message passes. */
RK_API void rk_log_write_v(rk_log_level_t level, const char *file, int line, const char *function,
                           const char *format, va_list args);

/** Logs at the given level with the caller's file, line and function. */
#define RK_LOG(level, ...) rk_log_write((level), __FILE__, __LINE__, __func__, __VA_ARGS__)

/** Sets the threshold; any value is accepted (above 5 drops everything). Thread-safe. */
RK_API void rk_log_set_level(rk_log_level_t level);
/** The threshold, read without the lock. Thread-safe. */
RK_API rk_log_level_t rk_log_get_level(void);
/** Turns console output on (non-zero, the default) or off. Thread-safe. */
RK_API void rk_log_set_console(int enabled);
/**
 * Closes the current log file if one is open, then opens path for
 * appending (append non-zero) or truncated.
 * @return RK_OK, also for a null path (file logging stays off);
 *         RK_ERR_FILE_NOT_FOUND (-200) when the file cannot be opened (file
 *         logging is then off). Thread-safe.
 */
RK_API rk_status_t rk_log_set_file(const char *path, int append);
/** Installs the callback and its user data; a null callback removes it. Thread-safe. */
RK_API void rk_log_set_callback(rk_log_callback_fn callback, void *user_data);
/**
 * Copies at most 255 characters of the line template; null leaves the
 * template unchanged. The text is copied, the caller keeps its string. Thread-safe.
 */
RK_API void rk_log_set_format(const char *format);
/** Flushes standard output and error (if console output is on) and the log file. Thread-safe. */
RK_API void rk_log_flush(void);
/**
 * Closes the log file. Level, console flag, template and callback stay as
 * they are, and logging may go on afterwards. Thread-safe.
 */
RK_API void rk_log_shutdown(void);
/** The level's name ("TRACE" .. "FATAL"), "UNKNOWN" outside 0..5; a static string. */
RK_API const char *rk_log_level_string(int level);
/** The level whose name equals text ignoring ASCII case; RK_LOG_INFO for null or no match. */
RK_API rk_log_level_t rk_log_level_from_string(const char *text);
/** Calendar time in milliseconds since 1970-01-01 UTC. Thread-safe. */
RK_API int64_t rk_log_timestamp(void);

RK_EXTERN_C_END

#endif /* RK_LOG_H */
