/* The PTB's copy on flash: the write region as it is about to be written,
 * kept in spare good blocks at the partition's end, so that a power cut in
 * the middle of a rewrite leaves the new PTB somewhere. For ptbtool alone.
 *
 * The copy's blocks are the partition's last good ones: the data blocks,
 * then one record block. The record block's first unit is a header that
 * checks on its own (it names the data blocks), its second unit the commit,
 * programmed last, with a CRC-32 over header and data. The data blocks are
 * erased only while a header names them, the record block after them. */
#ifndef PTB_COPY_H
#define PTB_COPY_H

#include "ptb/ptb_write.h"

#include <mtd/mtd-user.h>
#include <stddef.h>

/* Data blocks a copy may take: a write region of up to this many blocks. */
constexpr unsigned PTB_COPY_MAX_BLOCKS = 16;

/* What the copy's blocks hold. */
enum ptb_copy_holds {
	PTB_COPY_NO_ROOM,	/* no spare blocks outside the PTB's reach */
	PTB_COPY_FOREIGN,	/* something that is neither erased flash nor a copy: never touched */
	PTB_COPY_FREE,		/* erased, or a copy being written or torn: ours to write */
	PTB_COPY_VALID,		/* a copy whose record checks */
};

struct ptb_copy {
	enum ptb_copy_holds holds;
	unsigned data_count;
	unsigned long long data[PTB_COPY_MAX_BLOCKS];	/* the data blocks' offsets, ascending */
	unsigned long long record;	/* the record block's offset */
	bool data_erased[PTB_COPY_MAX_BLOCKS];
	bool record_erased;
	/* Of a valid copy, or of a header that checks: */
	bool header_checks;
	unsigned sequence;
	unsigned changed;		/* bit b: block b of the write region is rewritten */
	unsigned long long belongs;	/* the PTB's offset when the copy was made */
	unsigned char *bytes;		/* a valid copy's write region; the caller frees it */
};

/* Where the copy goes on this partition, when it has room for one beside a
 * PTB that ptbenv reads from ptb_offset on: the offset the PTB must stay
 * below, with ptbenv's whole read. */
unsigned long long ptb_copy_start(const struct ptb_copy *copy);

/* Finds the copy's blocks and reads what they hold into copy: all that a
 * write must know when to_write, else only whether a valid copy is there
 * (holds FOREIGN when not). Returns 0, or -1 with failure the step that
 * failed. */
int ptb_copy_find(int fd, const struct mtd_info_user *info, unsigned long long ptb_offset, bool to_write,
		  struct ptb_copy *copy, struct ptb_failure *failure);

/* Writes image, the PTB's write region, as the copy into blocks
 * ptb_copy_find() found free or valid, and reads it back. changed tells
 * the region's blocks the PTB's write will rewrite. Returns 0, or -1 with
 * failure the step that failed; the PTB is not touched either way. */
int ptb_copy_write(int fd, const struct mtd_info_user *info, const struct ptb_copy *copy,
		   const unsigned char *image, unsigned long long belongs, unsigned changed, struct ptb_failure *failure);

/* How the PTB at offset stands against a valid copy. */
enum ptb_copy_verdict {
	PTB_COPY_SAME,		/* every byte of the write region is the copy's */
	PTB_COPY_NOT_BEGUN,	/* whole, and no block it was to change was touched */
	PTB_COPY_TORN,		/* a block it was to change is the copy's, or erased or unreadable where the copy is not */
};

/* Reads the PTB's write region at offset and compares it with the copy;
 * returns the verdict, or -1 with failure the step that failed. */
int ptb_copy_compare(int fd, const struct mtd_info_user *info, const struct ptb_copy *copy,
		     unsigned long long offset, struct ptb_failure *failure);

/* Whether every one of length bytes reads as erased flash (0xFF). */
bool ptb_erased(const unsigned char *bytes, size_t length);

/* The first key whose bytes in image all read as erased flash, as no PTB
 * make or set writes has them, or NULL: a PTB erased or torn by a cut. */
const char *ptb_values_erased(const unsigned char *image);

/* CRC-32 (the zlib one) of length bytes, on from crc (0 to start). */
unsigned ptb_crc32(unsigned crc, const unsigned char *bytes, size_t length);

#endif
