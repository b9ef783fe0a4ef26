/*
 * rk_hash.h - MurmurHash3 and the hash table
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_HASH_H
#define RK_HASH_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- hashing and the hash table ---- */

RK_EXTERN_C_END

#endif /* RK_HASH_H */
