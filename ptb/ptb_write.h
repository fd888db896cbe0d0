/* Writing the PTB on an MTD partition open for writing: only the erase
 * blocks that hold the values' bytes, only where a byte changes, verified,
 * and past a block that fails. For ptbtool; ptbenv only reads. */
#ifndef PTB_WRITE_H
#define PTB_WRITE_H

#include <mtd/mtd-user.h>
#include <stddef.h>
#include <fcntl.h>	/* loff_t, which musl defines there */
#include <sys/types.h>

/* What a write did, for its caller to tell. */
struct ptb_write_report {
	unsigned long long offset;	/* where the PTB lies when it ends */
	unsigned blocks_written;
	unsigned corrected;		/* bitflips the ECC corrected reading fresh data back */
	bool touched;			/* an erase or program was tried: the flash may have changed */
	long long marked;		/* the block that failed first, or -1; marked bad once the PTB is written past it */
	bool mark_failed;		/* the driver failed to keep a mark */
};

/* The bytes the writer writes from the PTB's start: the whole erase blocks
 * the values' bytes lie in; info's erase size is not 0. */
size_t ptb_write_length(const struct mtd_info_user *info);

/* Writes image, ptb_write_length() bytes of it, as the PTB of the
 * partition open as fd, whose first good block is at offset and holds old
 * (NULL when its bytes are not known: every block is written then). Blocks
 * that don't change are left alone unless refresh. The PTB goes only where
 * every block of its region is good and ptbenv's read from it ends by limit.
 * A block that fails sends the PTB on to the next such place, four at
 * most; the blocks ahead of it are marked bad only once it is written and
 * read back there. The end is checked through ptbenv's own
 * reader: 0 when the region reads back byte for byte with the image's
 * values, -1 after saying on standard error, each line after who, what went
 * wrong. */
int ptb_write(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *old,
	      const unsigned char *image, bool refresh, unsigned long long limit, const char *who,
	      struct ptb_write_report *report);

/* The device steps the PTB and its copy share. Each says on standard error,
 * after who, what failed: */
/* 1 when the block at offset is bad, 0 when good, -1 when not known. */
int ptb_block_is_bad(int fd, loff_t offset, const char *who);
/* Erases the block at: true when done; says nothing. */
bool ptb_block_erase(int fd, const struct mtd_info_user *info, unsigned long long at);
/* Programs length bytes at at, whole pages a call; 0, or -1. */
int ptb_program(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		size_t length, const char *who);
/* Says "who: step 0xAT: the error" and returns -1. */
int ptb_step_failed(const char *who, const char *step, unsigned long long at);

#endif
