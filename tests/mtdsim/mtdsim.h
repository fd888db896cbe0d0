/* A simulated MTD partition standing in for /dev/mtd2 on machines without one.
 *
 * Linked into a test (or preloaded into a process with LD_PRELOAD), it takes
 * over the C library's open, ioctl, pread and close for the device path and
 * its descriptor and passes everything else through. Tests set the partition
 * up either in-process with mtdsim_attach() or, for a preloaded process,
 * through the environment:
 *   MTDSIM_IMAGE      file holding the partition's bytes (device missing if unset)
 *   MTDSIM_SIZE       partition size in bytes (default: the file's size rounded
 *                     up to whole erase blocks)
 *   MTDSIM_ERASESIZE  erase-block size in bytes (default 131072)
 *   MTDSIM_BAD        comma-separated numbers of bad erase blocks
 *   MTDSIM_FAULT      one fault name, see mtdsim_fault_name()
 *   MTDSIM_LOG        file that each device call is appended to, one line each
 * Bytes of the partition beyond the image read as erased flash (0xFF). */
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
	MTDSIM_FAULT_COUNT
};

struct mtdsim_device {
	const unsigned char *image;	/* partition bytes from offset 0; copied */
	size_t image_length;
	uint32_t size;
	uint32_t erasesize;
	const uint32_t *bad_blocks;	/* erase-block numbers; copied */
	size_t bad_count;
	enum mtdsim_fault fault;
};

/* What the code under test did to the device since the last attach. */
struct mtdsim_counts {
	unsigned opens;
	unsigned closes;
	unsigned open_descriptors;	/* opened and not yet closed */
	unsigned memgetinfo;
	unsigned badblock_queries;
	unsigned preads;
	unsigned misuses;		/* read, lseek or an unknown ioctl on the device */
	int64_t last_pread_offset;
	size_t last_pread_length;
};

/* Replaces the partition and clears the call record and log. */
void mtdsim_attach(const struct mtdsim_device *device);
/* Removes the partition: opening the device then fails with ENOENT. */
void mtdsim_detach(void);

const struct mtdsim_counts *mtdsim_calls(void);
/* Every device call since the last attach, one line each, e.g.
 * "MEMGETBADBLOCK 0x4000 -> 1" or "pread 40960 at 0x8000 -> 40960". */
const char *mtdsim_log(void);

/* The name used in MTDSIM_FAULT, e.g. "pread-fails", or NULL past the last. */
const char *mtdsim_fault_name(enum mtdsim_fault fault);
}

#endif
