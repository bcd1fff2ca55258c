/* Public C interface of the audio-to-expression stream (le_a2x_*).
 *
 * The rules of le/le.h apply: opaque handles owned by the library, failures
 * reported by return value plus the thread-local text le_a2x_last_error
 * returns, one thread at a time per handle.
 */
#ifndef LE_LE_A2X_H_
#define LE_LE_A2X_H_

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The le_a2x_* declarations live here. */

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LE_LE_A2X_H_ */
