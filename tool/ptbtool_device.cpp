/* An MTD partition that ptbtool reads on the device itself: its geometry from
 * the driver, and the PTB read through the block walk ptbenv makes, with the
 * ECC counters' verdict said in words. */
#include "ptb/env_layout.h"
#include "tool/ptbtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>

bool device_is_mtd(int fd, struct mtd_info_user *info)
{
	return ioctl(fd, MEMGETINFO, info) == 0;
}

/* Bitflips corrected are the warning sign of a block wearing out; a failure
 * where no value lies is worth knowing too. */
static void device_warn_ecc(const struct mtd_device *device, const struct ptb_block *block)
{
	if (block->ecc.corrected > 0)
		fprintf(stderr, "ptbtool: warning: %s: the ECC corrected %u bitflips reading the PTB at 0x%llx: "
			"rewrite it before more flip than the ECC corrects\n",
			device->path, block->ecc.corrected, block->offset);
	if (block->ecc.failed > 0)
		fprintf(stderr, "ptbtool: warning: %s: the ECC could not correct %u steps reading the PTB at 0x%llx, "
			"but the values' %zu bytes read clean a second time\n",
			device->path, block->ecc.failed, block->offset, env_values_end());
}

int device_read(const struct mtd_device *device, struct ptb_block *block)
{
	if (ptb_read_block(device->fd, &device->info, block) != 0) {
		if (block->ecc.values_failed > 0)
			fprintf(stderr, "ptbtool: %s: the ECC could not correct %u steps of the PTB's values at 0x%llx "
				"(its first %zu bytes), read twice: no value is shown\n",
				device->path, block->ecc.values_failed, block->offset, env_values_end());
		return -1;
	}
	device_warn_ecc(device, block);
	return 0;
}
