/* Reading the PTB from an MTD partition: the block walk, the counted read
 * and the read of the PTB itself, once for ptbenv, ptbtool and libptb. They
 * print nothing: each returns the step that failed, errno telling why. */
#ifndef PTB_BLOCK_H
#define PTB_BLOCK_H

#include <mtd/mtd-user.h>
#include <stddef.h>
#include <sys/types.h>

/* What the driver's ECC counters told of the read. */
struct ptb_ecc {
	bool counted;		/* the driver keeps the counters */
	unsigned corrected;	/* bitflips it corrected */
	unsigned failed;	/* ECC steps it could not correct */
	unsigned values_failed;	/* of those, in the values' bytes read once more */
};

struct ptb_block {
	unsigned char *image;	/* length bytes from offset on; the caller frees it */
	size_t length;		/* ptb_read_length() */
	unsigned long long offset;	/* of the first good block in the partition */
	struct ptb_ecc ecc;
	/* Erase blocks found bad from the partition's start: every block below
	 * the first good one, or below where the walk failed or ended. */
	unsigned long long bad_ahead;
};

/* The step a read of the PTB failed at. */
enum ptb_step {
	PTB_STEP_DONE,		/* the PTB was read */
	PTB_STEP_OPEN,		/* the device would not open */
	PTB_STEP_INFO,		/* MEMGETINFO failed: not an MTD device */
	PTB_STEP_BADBLOCK,	/* MEMGETBADBLOCK failed */
	PTB_STEP_NO_GOOD,	/* no good block before the partition's end; errno is not set */
	PTB_STEP_READ,		/* the allocation or the read failed; EBADMSG: the ECC failed on the values */
};

/* ptbenv's reach: the bytes it reads from the PTB's start, the larger of
 * an erase block and PTB_MIN_READ, bad blocks and all. */
size_t ptb_read_length(size_t erasesize);

/* The block walk: from *at up to end, or down to end when down, end itself
 * not walked, to the first block the driver does not mark bad. Returns 1
 * with *at its offset; 0 when there is none, *at where the walk stopped; -1
 * with errno set when MEMGETBADBLOCK failed, *at the block it was asked of.
 * An erase size of 0 walks the first block alone. */
int ptb_good_block(int fd, const struct mtd_info_user *info, long long *at, long long end, bool down);

/* Reads exactly length bytes at offset between two ECCGETSTATS, noting in
 * ecc what the counters grew by (a driver without them is read all the
 * same); false, with errno set, when the read fails or comes back short. */
bool ptb_read_counted(int fd, unsigned char *buf, size_t length, off_t offset, struct ptb_ecc *ecc);

/* Finds the first good block of the partition info describes and reads the
 * PTB from it into block; on a failure nothing is left to free. A read the
 * ECC could not correct where values lie fails with EBADMSG, block->ecc
 * telling how. */
enum ptb_step ptb_block_read(int fd, const struct mtd_info_user *info, struct ptb_block *block);

/* Opens the MTD partition at path read-only and reads the PTB from it as
 * ptb_block_read does, closing it again; info is the partition's. */
enum ptb_step ptb_device_read(const char *path, struct mtd_info_user *info, struct ptb_block *block);

#endif
