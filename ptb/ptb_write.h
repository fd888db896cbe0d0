/* Writing the PTB on an MTD partition open for writing: only the erase
 * blocks that hold the values' bytes, only where a byte changes, verified,
 * and past a block that fails. For ptbtool; ptbenv only reads. */
#ifndef PTB_WRITE_H
#define PTB_WRITE_H

#include <mtd/mtd-user.h>
#include <stddef.h>

/* What a write did, for its caller to tell. */
struct ptb_write_report {
	unsigned long long offset;	/* where the PTB lies when it ends */
	unsigned blocks_written;
	unsigned corrected;		/* bitflips the ECC corrected reading fresh data back */
	bool touched;			/* an erase or program was tried: the flash may have changed */
	long long marked;		/* the block marked bad, or -1 */
	bool mark_failed;		/* ... and the driver failed to keep the mark */
};

/* The bytes the writer writes from the PTB's start: the whole erase blocks
 * the values' bytes lie in; info's erase size is not 0. */
size_t ptb_write_length(const struct mtd_info_user *info);

/* Writes image, ptb_write_length() bytes of it, as the PTB of the
 * partition open as fd, whose first good block is at offset and holds old
 * (NULL when its bytes are not known: every block is written then). Blocks
 * that don't change are left alone unless refresh. A block that fails is
 * erased, marked bad and the PTB goes on in the next good block; a second
 * failure stops it. The end is checked through ptbenv's own reader: 0 when
 * it reads back the image's values, -1 after saying on standard error, each
 * line after who, what went wrong. */
int ptb_write(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *old,
	      const unsigned char *image, bool refresh, const char *who, struct ptb_write_report *report);

#endif
