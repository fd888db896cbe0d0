/* Device parameters kept in the PTB, the first good erase block of the
 * parameter partition: the layout's bounds, and ptbenv's layer over the
 * reading core (ptb_env.cpp), which says what went wrong in ptbenv's words. */
#ifndef PTB_ENV_H
#define PTB_ENV_H

#include "include/ptb.h"

#include <stddef.h>

#define PTB_DEVICE_PATH PTB_DEFAULT_DEVICE

/* Least number of bytes read, whatever the erase size; every field lies below it. */
constexpr size_t PTB_MIN_READ = 40960;

/* Room for a rendered value; env_value has one byte more that always stays NUL. */
constexpr size_t ENV_VALUE_MAX = 1024;

/* Shortest qvkey or qvran value that is handed back. */
constexpr size_t ENV_VALUE_MIN_LEN = 32;

/* Reads the PTB into a new heap buffer of at least PTB_MIN_READ bytes and
 * stores it in *image; the caller frees it. Returns 0, or -1 after reporting
 * on standard error. Exits the process with status 1 when the device won't open. */
int ptb_read(unsigned char **image);

struct env_field;

/* env_format into env_value, the static buffer env_get returns; NULL for none. */
const char *env_render(const struct env_field *field, const unsigned char *image);

/* Returns the value of the parameter key, rendered into a static buffer that
 * stays valid until the next call, or NULL when there is none to show. */
const char *env_get(const char *key);

#endif
