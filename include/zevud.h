/* SPDX-License-Identifier: Apache-2.0 */
/*
 * zevud.h - the whole public interface of Rakmo ZevUD in one include.
 * Each family has a header of its own; see there for the per-function
 * contracts (ownership, thread-safety, status codes).
 */
#ifndef ZEVUD_H
#define ZEVUD_H

#include "rk_common.h"
#include "rk_error.h"
#include "rk_memory.h"
#include "rk_database.h"
#include "rk_collection.h"
#include "rk_config.h"
#include "rk_vector.h"
#include "rk_quant.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_storage.h"
#include "rk_log.h"
#include "rk_string.h"
#include "rk_hash.h"

#endif /* ZEVUD_H */
