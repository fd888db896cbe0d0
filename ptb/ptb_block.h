/* Reading the PTB from an MTD partition that is open already: the block walk
 * and the read ptbenv makes, shared with ptbtool so that the two can't
 * disagree on what the device holds. */
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
	size_t length;		/* the larger of the erase size and PTB_MIN_READ */
	unsigned long long offset;	/* of the first good block in the partition */
	struct ptb_ecc ecc;
};

/* How much the reader reads from the PTB's start: the larger of an erase
 * block and PTB_MIN_READ. */
size_t ptb_read_length(size_t erasesize);

/* Reads exactly length bytes at offset between two ECCGETSTATS, noting in
 * ecc what the counters grew by (a driver without them is read all the
 * same); false, with errno set, when the read fails or comes back short. */
bool ptb_read_counted(int fd, unsigned char *buf, size_t length, off_t offset, struct ptb_ecc *ecc);

/* Finds the first good block of the partition info describes and reads the
 * PTB from it into block. Returns 0, or -1 with nothing to free after
 * reporting on standard error; a read the ECC could not correct where values
 * lie fails with EBADMSG, block->ecc telling how. */
int ptb_read_block(int fd, const struct mtd_info_user *info, struct ptb_block *block);

#endif
