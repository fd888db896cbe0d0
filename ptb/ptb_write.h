/* Writing the PTB on an MTD partition open for writing: only the erase
 * blocks that hold the values' bytes, only where a byte changes, verified,
 * and past a block that fails. For ptbtool; ptbenv only reads. Nothing
 * here prints: what happened goes back in a record for the caller to word. */
#ifndef PTB_WRITE_H
#define PTB_WRITE_H

#include "ptb/ptb_block.h"

#include <mtd/mtd-user.h>
#include <stddef.h>
#include <fcntl.h>	/* loff_t, which musl defines there */
#include <sys/types.h>

/* Places the PTB is tried in before a write gives up: nothing is marked
 * bad until it is written, so a chip that fails every write costs no block. */
constexpr unsigned PTB_WRITE_TRIES = 4;

/* Good blocks a write lists as retired: those of every place it tried, for
 * a region of up to 16 blocks, as many as the copy takes. */
constexpr unsigned PTB_WRITE_RETIRED_MOST = 64;

/* A device step that failed, for the caller to word. */
enum ptb_device_step {
	PTB_ASKING_MARK,	/* MEMGETBADBLOCK of the block at */
	PTB_ERASING,		/* the PTB's block at */
	PTB_PROGRAMMING,	/* the page at */
	PTB_READING_BACK,	/* the PTB's block at; error 0: not the bytes written */
	PTB_READING,		/* a block of the copy, or of the PTB compared with it */
	PTB_ERASING_COPY,	/* the copy's block at */
	PTB_READING_COPY,	/* the copy from at on: no memory for it */
	PTB_WRITING_COPY,	/* likewise */
	PTB_READING_PTB,	/* likewise, the PTB at to compare with its copy */
	PTB_COPY_READ_BACK,	/* the copy at does not read back as written */
};

struct ptb_failure {
	enum ptb_device_step step;
	unsigned long long at;
	int error;		/* errno */
};

/* How a write ended. */
enum ptb_write_end {
	PTB_WRITE_DONE,		/* the PTB reads back as the image, through ptbenv's reader */
	PTB_WRITE_NO_MEMORY,
	PTB_WRITE_STEP_FAILED,	/* walking the blocks: the report's step */
	PTB_WRITE_NO_GOOD,	/* no good block is left for the PTB */
	PTB_WRITE_PAST_END,	/* ptbenv's read from the place found would run past the partition's end */
	PTB_WRITE_INTO_COPY,	/* ... into the blocks the PTB's copy may take */
	PTB_WRITE_STOPPED,	/* PTB_WRITE_TRIES places failed */
	PTB_WRITE_NOT_READ,	/* ptbenv's read of it failed: read_back, errno read_back_error */
	PTB_WRITE_NOT_AS_WRITTEN,	/* it reads, but not as the image */
};

/* A good block ahead of the PTB's new place, erased as far as it goes and
 * marked bad so that ptbenv reads past it. */
struct ptb_retired {
	unsigned long long at;
	bool failed;		/* a write failed in it; else it merely lies ahead */
	bool erased;
	int mark_error;		/* 0 when the mark took, else errno */
};

/* What a write is to do. */
struct ptb_write_request {
	int fd;			/* the partition, open for writing */
	const struct mtd_info_user *info;	/* its erase size is not 0 */
	unsigned long long offset;	/* the first good block, where the PTB lies */
	const unsigned char *old;	/* the bytes there, or NULL when not known: every block is written */
	const unsigned char *image;	/* ptb_write_length() bytes */
	bool refresh;		/* the blocks that don't change are written too */
	unsigned long long limit;	/* ptbenv's read from the PTB must end by it */
};

/* What a write did, for its caller to tell, in the order it happened: each
 * failed try, the blocks retired, then how it ended. */
struct ptb_write_report {
	unsigned long long offset;	/* where the PTB lies when it ends */
	unsigned blocks_written;
	unsigned corrected;		/* bitflips the ECC corrected reading fresh data back */
	bool touched;			/* an erase or program was tried: the flash may have changed */
	long long marked;		/* the block that failed first, or -1; marked bad once the PTB is written past it */
	bool mark_failed;		/* the driver failed to keep a mark */
	unsigned tries_failed;
	struct ptb_failure tries[PTB_WRITE_TRIES];	/* the step each failed try failed at */
	unsigned retired_count;
	struct ptb_retired retired[PTB_WRITE_RETIRED_MOST];	/* nearest the new place first */
	enum ptb_write_end end;
	struct ptb_failure step;	/* of PTB_WRITE_STEP_FAILED */
	/* ptbenv's read of the PTB written, once every try ended: */
	bool read_back_tried;
	enum ptb_step read_back;
	int read_back_error;
	unsigned long long read_back_bad;	/* the bad blocks it walked past */
};

/* The write region: the bytes the writer writes from the PTB's start, the
 * whole erase blocks that env_values_end()'s bytes lie in; never more than
 * ptb_read_length(), so ptbenv reads all of it. info's erase size is not 0. */
size_t ptb_write_length(const struct mtd_info_user *info);

/* Whether block b of the write region is written where the PTB lies now:
 * when asked to refresh, when the old bytes are not known, or when a byte
 * of it changes. */
bool ptb_write_changes(const struct ptb_write_request *request, size_t b);

/* Writes the request's image as the PTB: where it lies, the blocks that
 * change; a block that fails sends the PTB on to the next place where every
 * block of its region is good and ptbenv's read from it ends by limit,
 * PTB_WRITE_TRIES at most, all of it written there. The blocks ahead of it
 * are retired only once it is written and read back. The end is checked
 * through ptbenv's own reader: 0 when the region reads back byte for byte
 * with the image's values, else -1; report tells what happened either way. */
int ptb_write(const struct ptb_write_request *request, struct ptb_write_report *report);

/* The device steps the PTB and its copy share. */
/* Erases the block at: true when done. */
bool ptb_block_erase(int fd, const struct mtd_info_user *info, unsigned long long at);
/* Programs length bytes at at, whole pages a call; 0, or -1 with failure
 * the page that failed. */
int ptb_program(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		size_t length, struct ptb_failure *failure);
/* Fills failure, errno its error, and returns -1. */
int ptb_failed(struct ptb_failure *failure, enum ptb_device_step step, unsigned long long at);

#endif
