/* A simulated MTD partition standing in for /dev/mtd2 on machines without one.
 *
 * Linked into a test (or preloaded into a process with LD_PRELOAD), it takes
 * over the C library's open, ioctl, pread, pwrite, fstat and close for the
 * device path, its read-only node /dev/mtd2ro, and their descriptors, and
 * passes everything else through. Tests set the partition up either
 * in-process with mtdsim_attach() or, for a preloaded process, through the
 * environment:
 *   MTDSIM_IMAGE      file holding the partition's bytes (device missing if
 *                     unset); see "Shared state" below
 *   MTDSIM_SIZE       partition size in bytes (default: the file's size rounded
 *                     up to whole erase blocks)
 *   MTDSIM_ERASESIZE  erase-block size in bytes (default 131072)
 *   MTDSIM_WRITESIZE  page size in bytes (default 2048)
 *   MTDSIM_BAD        comma-separated numbers of bad erase blocks
 *   MTDSIM_WEAK_BLOCKS, MTDSIM_WEAK_PAGES  the same for blocks that fail to
 *                     erase and pages that fail to program
 *   MTDSIM_UNCORRECTABLE, MTDSIM_CORRECTED  byte ranges "START-END,START-END"
 *                     (END exclusive) that the ECC fails on or corrects
 *   MTDSIM_FAULT      one fault name, see mtdsim_fault_name()
 *   MTDSIM_LOG        file that each device call is appended to, one line each
 *   MTDSIM_CUT_AFTER  N: the power goes right after the process's device step
 *                     N (see "Power cuts"); 0 or unset: never
 *   MTDSIM_CUT_HALF   1: step N is only half done when the power goes
 * Bytes of the partition beyond the image read as erased flash (0xFF).
 *
 * Shared state. Every erase, page programmed and bad mark reaches the files
 * as it happens, so that every process using MTDSIM_IMAGE at once sees what
 * the others did, as with the kernel's device, and a process killed midway
 * leaves what it had done. Only a change grows the file to the partition's
 * size (with 0xFF): a process that only reads leaves it as it was. What NAND
 * keeps out of band is in MTDSIM_IMAGE followed by MTDSIM_OOB_SUFFIX, made
 * on the first mark or torn page: one byte a page, 0 (or past the file's
 * end) for nothing, MTDSIM_OOB_MARKED_BAD on a block's first page for a bad
 * mark that stuck, MTDSIM_OOB_TORN for a page whose program the power cut
 * (erasing the block clears it). A mark that does not stick (markbad-fails)
 * stays in the process that made it. mtdsim_attach() keeps both in
 * anonymous memory files of the process instead.
 *
 * Descriptors. mtdsim_open() returns a descriptor open on MTDSIM_IMAGE
 * itself, a new one for each open, for both nodes: flock(2) on it works
 * across processes as on the kernel's node, so a test holds the lock
 * ptbtool takes on /dev/mtd2 by flocking MTDSIM_IMAGE (or by opening
 * /dev/mtd2 under the preload and flocking that). The read-only node shares
 * the file. fstat still answers a character device, 90:4 (90:5 for mtd2ro).
 *
 * Power cuts. Device steps are counted from 1 in each process: each block a
 * MEMERASE erases or tries to (a MEMERASE of k blocks is k steps), each page
 * a pwrite programs or tries to, each bad mark made or tried. Calls refused
 * before they reach the flash (a bad block's erase, a misaligned program, a
 * block already bad) are no steps. With a cut set, each step is logged as
 * well, e.g. "step 3: MEMERASE 0x0+0x20000 -> 0"; the cut's step ends with
 * ", power cut", or reads "step 3: MEMERASE 0x0+0x20000 half done, power
 * cut" with MTDSIM_CUT_HALF. Half done is the block's first half erased, the
 * page's first half programmed and the page torn (the ECC fails on each step
 * of it in every later read, as a torn NAND page does, until its block is
 * erased), or the mark not made. The process then dies of SIGKILL at once;
 * nothing else of it reaches the flash. A cut past the last step counts the
 * steps in the log without cutting.
 *
 * The ECC works in MTDSIM_ECC_STEP steps on whole pages, as NAND does: a read
 * touching any byte of a page reads the whole page, and each step of it that
 * overlaps an uncorrectable range or lies in a torn page adds 1 to
 * ECCGETSTATS's failed (those bytes in the caller's buffer come back XORed
 * with n, 1 to 255, for the n-th read that failed), each other step
 * overlapping a corrected range 1 to corrected. The counters start at
 * MTDSIM_EARLIER_CORRECTED and MTDSIM_EARLIER_FAILED, from reads before the
 * test's. The ranges stay where they are through erasing and programming, as
 * a worn spot does. */
#ifndef MTDSIM_H
#define MTDSIM_H

#include <stddef.h>
#include <stdint.h>

extern "C" {

/* Each fault's name, the calls it hits and their error: the table in mtdsim_faults.cpp. */
enum mtdsim_fault {
	MTDSIM_NO_FAULT,
	MTDSIM_MISSING,		/* no device: open fails */
	MTDSIM_DENIED,
	MTDSIM_NOT_MTD,
	MTDSIM_BADBLOCK_FAILS,
	MTDSIM_BADBLOCK_EINTR,
	MTDSIM_PREAD_FAILS,
	MTDSIM_PREAD_EINTR,
	MTDSIM_PREAD_SHORT,
	MTDSIM_NO_ECC_STATS,	/* a driver without ECC counters */
	MTDSIM_ECC_TRANSIENT,	/* each uncorrectable range fails the first read only */
	MTDSIM_READ_ONLY,	/* a partition without MTD_WRITEABLE */
	MTDSIM_ERASE_FAILS,	/* a write-protected chip */
	MTDSIM_PROGRAM_FAILS,	/* every page is left part-programmed */
	MTDSIM_MARKBAD_FAILS,	/* the mark is in the kernel's memory only */
	MTDSIM_PROGRAM_WRONG,	/* each page taken, its first byte left as it was */
	MTDSIM_PWRITE_SHORT,	/* each pwrite programs all its pages but the last */
	MTDSIM_ECCSTATS_SECOND_FAILS,	/* the first ECCGETSTATS answers, later ones fail */
	MTDSIM_BADBLOCK_FAILS_AFTER_WRITE,	/* MEMGETBADBLOCK answers until a page is programmed */
	MTDSIM_FAULT_COUNT
};

const uint32_t MTDSIM_DEFAULT_WRITESIZE = 2048;
const uint32_t MTDSIM_ECC_STEP = 256;
const uint32_t MTDSIM_EARLIER_CORRECTED = 17;
const uint32_t MTDSIM_EARLIER_FAILED = 5;

/* The out-of-band file beside MTDSIM_IMAGE and its bits, one byte a page. */
#define MTDSIM_OOB_SUFFIX ".oob"
const unsigned char MTDSIM_OOB_MARKED_BAD = 1;
const unsigned char MTDSIM_OOB_TORN = 2;

/* Partition byte offsets, end exclusive. */
struct mtdsim_range {
	uint64_t start, end;
};

struct mtdsim_device {
	const unsigned char *image;	/* partition bytes from offset 0; copied */
	size_t image_length;
	uint32_t size;
	uint32_t erasesize;
	const uint32_t *bad_blocks;	/* erase-block numbers; copied, like the lists below */
	size_t bad_count;
	enum mtdsim_fault fault;
	const struct mtdsim_range *uncorrectable;
	size_t uncorrectable_count;
	const struct mtdsim_range *corrected;
	size_t corrected_count;
	const uint32_t *weak_blocks;	/* erase-block numbers whose erase fails */
	size_t weak_block_count;
	const uint32_t *weak_pages;	/* page numbers from the partition's start whose program fails */
	size_t weak_page_count;
	uint32_t writesize;		/* 0: MTDSIM_DEFAULT_WRITESIZE */
	uint32_t cut_after;		/* MTDSIM_CUT_AFTER: the step the power goes after; 0 never */
	bool cut_half;			/* MTDSIM_CUT_HALF */
};

/* What the code under test did to the device since the last attach. */
struct mtdsim_counts {
	unsigned opens;
	unsigned closes;
	unsigned open_descriptors;	/* opened and not yet closed */
	unsigned memgetinfo;
	unsigned badblock_queries;
	unsigned preads;
	unsigned misuses;		/* read, write, lseek or an unknown ioctl on the device */
	int64_t last_pread_offset;
	size_t last_pread_length;
	unsigned eccgetstats;
	unsigned erases;
	unsigned writes;
	unsigned markbads;
};

/* Replaces the partition and clears the call record and log. */
void mtdsim_attach(const struct mtdsim_device *device);
/* Removes the partition: opening the device then fails with ENOENT. */
void mtdsim_detach(void);

const struct mtdsim_counts *mtdsim_calls(void);
/* Every device call since the last attach, one line each, e.g.
 * "MEMGETBADBLOCK 0x4000 -> 1" or "pread 40960 at 0x8000 -> 40960". */
const char *mtdsim_log(void);

/* The partition's bytes as they are now, *length (its size) of them; valid
 * until the next call. */
const unsigned char *mtdsim_contents(size_t *length);
/* Whether the block carries a bad-block mark on the flash: bad when attached
 * or marked since by a MEMSETBADBLOCK that succeeded. */
bool mtdsim_is_marked_bad(uint32_t block);

/* The name used in MTDSIM_FAULT, e.g. "pread-fails", or NULL past the last. */
const char *mtdsim_fault_name(enum mtdsim_fault fault);
}

#endif
