// SPDX-License-Identifier: Apache-2.0
// File, text, argument and environment entry points of the configuration
// store. Settings have no text form: these check their arguments and touch
// files, but never parse or write settings.
#include "config/config_store.h"
#include "core/status.h"
#include "rk_platform.h"

extern "C" {

RK_API rk_status_t rk_config_load(rk_config_t *config, const rk_string_t *path) {
    RK_RETURN_IF(!config || !path || !path->data, RK_ERR_INVALID_ARG);
    void *contents = rk_file_read_all(path, nullptr);
    RK_RETURN_IF(!contents, RK_ERR_IO);
    rk_free(contents);
    return rk::config::set_source_path(config, path);
}

RK_API rk_status_t rk_config_save(rk_config_t *config, const rk_string_t *path) {
    RK_RETURN_IF(!config || !path || !path->data, RK_ERR_INVALID_ARG);
    const rk_string_t mode = {"w", 1};
    const rk_file_t fd = rk_file_open(path, &mode);
    RK_RETURN_IF(fd < 0, RK_ERR_IO);
    RK_RETURN_IF(rk_file_close(fd) != 0, RK_ERR_IO);
    return RK_OK;
}

RK_API rk_status_t rk_config_load_string(rk_config_t *config, const rk_string_t *text) {
    RK_RETURN_IF(!config || !text, RK_ERR_INVALID_ARG);
    return RK_OK;
}

RK_API rk_status_t rk_config_parse_args(rk_config_t *config, int argc, char **argv) {
    (void)argc;
    RK_RETURN_IF(!config || !argv, RK_ERR_INVALID_ARG);
    return RK_OK;
}

RK_API rk_status_t rk_config_load_env(rk_config_t *config) {
    RK_RETURN_IF(!config, RK_ERR_INVALID_ARG);
    return RK_OK;
}

}  // extern "C"
