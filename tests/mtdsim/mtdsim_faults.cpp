/* The faults the simulated device can be given: each one's name in
 * MTDSIM_FAULT, the device calls it hits and how they then fail. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <errno.h>

static const struct mtdsim_fault_effect faults[] = {
	{ MTDSIM_NO_FAULT, "none", 0, 0 },
	{ MTDSIM_MISSING, "missing", MTDSIM_OPEN, ENOENT },
	{ MTDSIM_DENIED, "denied", MTDSIM_OPEN, EACCES },
	{ MTDSIM_NOT_MTD, "not-mtd", MTDSIM_MEMGETINFO | MTDSIM_MEMGETBADBLOCK | MTDSIM_MEMERASE |
	  MTDSIM_MEMSETBADBLOCK | MTDSIM_ECCGETSTATS, ENOTTY },
	{ MTDSIM_BADBLOCK_FAILS, "badblock-fails", MTDSIM_MEMGETBADBLOCK, EIO },
	{ MTDSIM_BADBLOCK_EINTR, "badblock-eintr", MTDSIM_MEMGETBADBLOCK, EINTR },
	{ MTDSIM_PREAD_FAILS, "pread-fails", MTDSIM_PREAD, EIO },
	{ MTDSIM_PREAD_EINTR, "pread-eintr", MTDSIM_PREAD, EINTR },
	{ MTDSIM_PREAD_SHORT, "pread-short", MTDSIM_PREAD, MTDSIM_SHORT },
	{ MTDSIM_NO_ECC_STATS, "no-ecc-stats", MTDSIM_ECCGETSTATS, ENOTTY },
	/* Reading decides which ranges are spent (mtdsim_flash.cpp). */
	{ MTDSIM_ECC_TRANSIENT, "ecc-transient", 0, 0 },
	{ MTDSIM_READ_ONLY, "read-only", MTDSIM_OPEN_WRITABLE, EACCES },
	{ MTDSIM_ERASE_FAILS, "erase-fails", MTDSIM_MEMERASE, EIO },
	/* Programming leaves the failing page part-programmed (mtdsim_flash.cpp). */
	{ MTDSIM_PROGRAM_FAILS, "program-fails", MTDSIM_PWRITE, EIO },
	/* The kernel keeps the mark in memory (mtdsim_device.cpp). */
	{ MTDSIM_MARKBAD_FAILS, "markbad-fails", MTDSIM_MEMSETBADBLOCK, EIO },
	/* Programming stores the wrong byte (mtdsim_flash.cpp). */
	{ MTDSIM_PROGRAM_WRONG, "program-wrong", 0, 0 },
	{ MTDSIM_PWRITE_SHORT, "pwrite-short", MTDSIM_PWRITE, MTDSIM_SHORT },
	/* The first call answers (mtdsim_device.cpp). */
	{ MTDSIM_ECCSTATS_SECOND_FAILS, "eccstats-second-fails", MTDSIM_ECCGETSTATS, EIO },
	/* The calls before the first program answer (mtdsim_device.cpp). */
	{ MTDSIM_BADBLOCK_FAILS_AFTER_WRITE, "badblock-fails-after-write", MTDSIM_MEMGETBADBLOCK, EIO },
};

const struct mtdsim_fault_effect *mtdsim_fault_effect(enum mtdsim_fault fault)
{
	for (const struct mtdsim_fault_effect &effect : faults)
		if (effect.fault == fault)
			return &effect;
	return NULL;
}

const char *mtdsim_fault_name(enum mtdsim_fault fault)
{
	const struct mtdsim_fault_effect *effect = mtdsim_fault_effect(fault);

	return effect != NULL ? effect->name : NULL;
}
