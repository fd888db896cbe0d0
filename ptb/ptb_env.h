/* Device parameters kept in the PTB, the first good erase block of the
 * parameter partition: the layout's bounds, and ptbenv's layer over the
 * reading core (ptb_env.cpp), which says what went wrong in ptbenv's words. */
#ifndef PTB_ENV_H
#define PTB_ENV_H

#include "include/ptb.h"
#include "ptb/ptb_block.h"

#include <mtd/mtd-user.h>
#include <stddef.h>

#define PTB_DEVICE_PATH PTB_DEFAULT_DEVICE

/* The fewest bytes a read of the PTB takes, whatever the erase size, and
 * the length of an image make makes: every field lies below it. */
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

/* ptbenv's lines for a read that ended at step, errno telling why: one for
 * each bad block the walk passed, then why it stopped. */
void ptb_env_report(enum ptb_step step, const struct ptb_block *block, unsigned erasesize);

/* Reads the PTB as ptb_block_read does, which ptbtool reads through too:
 * returns 0, or -1 after ptbenv's lines on standard error. */
int ptb_read_block(int fd, const struct mtd_info_user *info, struct ptb_block *block);

/* Returns the value of the parameter key, rendered into a static buffer that
 * stays valid until the next call, or NULL when there is none to show. */
const char *env_get(const char *key);

#endif
