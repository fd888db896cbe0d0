/* ptbtool recover: where a power cut tore the PTB in the middle of a set or
 * write, finishes that write from the PTB's copy on flash; set and write
 * make the same check before they change anything. */
#include "ptb/ptb_copy.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/* The torn PTB at offset, written over from the copy. */
static int recover_write(const struct mtd_device *device, unsigned long long offset, const struct ptb_copy *copy)
{
	struct ptb_write_request request = { device->fd, &device->info, offset, NULL, copy->bytes, false,
					     ptb_copy_start(copy) };
	struct ptb_write_report report;
	int written;

	printf("ptbtool: %s: the PTB at 0x%llx is torn, a write cut short: written from its copy at 0x%llx\n",
	       device->path, offset, ptb_copy_start(copy));
	fflush(stdout);
	written = ptb_write(&request, &report);
	return device_written(device, written, &report, NULL);
}

/* Where there is no copy: only a PTB that reads whole needs nothing. */
static int recover_no_copy(const struct mtd_device *device, const struct ptb_block *block)
{
	if (block->image == NULL || ptb_values_erased(block->image) != NULL) {
		ptbtool_error(0, "%s: the PTB at 0x%llx is erased or torn, and there is no copy of it on flash: "
			      "restore a backup or write an image with ptbtool write", device->path, block->offset);
		return PTBTOOL_REFUSED;
	}
	printf("ptbtool: %s: the PTB at 0x%llx reads whole and there is no copy of it on flash: nothing to do\n",
	       device->path, block->offset);
	return 0;
}

static int recover_with_copy(const struct mtd_device *device, const struct ptb_block *block,
			     const struct ptb_copy *copy, bool asked)
{
	struct ptb_failure failure;
	int verdict = ptb_copy_compare(device->fd, &device->info, copy, block->offset, &failure);

	if (verdict < 0) {
		device_say_failure(device->path, &failure);
		return PTBTOOL_REFUSED;
	}
	if (verdict == PTB_COPY_TORN)
		return recover_write(device, block->offset, copy);
	if (asked && verdict == PTB_COPY_SAME)
		printf("ptbtool: %s: the PTB at 0x%llx is its copy's byte for byte: nothing to do\n", device->path,
		       block->offset);
	if (asked && verdict == PTB_COPY_NOT_BEGUN)
		printf("ptbtool: %s: the PTB at 0x%llx is whole: the last change, which its copy at 0x%llx holds, "
		       "did not happen; nothing written\n", device->path, block->offset, ptb_copy_start(copy));
	return 0;
}

/* The first good block, quietly: set and write read the PTB themselves next
 * and say what they find. -1 when there is none or the driver fails. */
static long long recover_first_good(const struct mtd_device *device)
{
	struct ptb_failure failure;
	long long at = 0;
	int found = ptb_good_block(device->fd, &device->info, &at, (long long)device->info.size, false);

	if (found < 0) {
		ptb_failed(&failure, PTB_ASKING_MARK, (unsigned long long)at);
		device_say_failure(device->path, &failure);
	}
	return found > 0 ? at : -1;
}

int device_recover(const struct mtd_device *device, bool asked)
{
	struct ptb_block block = {};
	struct ptb_failure failure;
	struct ptb_copy copy;
	long long first;
	int status = PTBTOOL_REFUSED;

	/* Values the ECC can't read are what a cut mid-page leaves. */
	if (asked && ptb_read_block(device->fd, &device->info, &block) != 0 && block.ecc.values_failed == 0)
		return PTBTOOL_REFUSED;
	if (!asked) {
		if ((first = recover_first_good(device)) < 0)
			return 0;
		block.offset = (unsigned long long)first;
	}
	if (ptb_copy_find(device->fd, &device->info, block.offset, false, &copy, &failure) != 0)
		device_say_failure(device->path, &failure);
	else if (copy.holds == PTB_COPY_VALID)
		status = recover_with_copy(device, &block, &copy, asked);
	else
		status = asked ? recover_no_copy(device, &block) : 0;
	free(copy.bytes);
	free(block.image);
	return status;
}

void device_warn_torn(const struct mtd_device *device, const struct ptb_block *block)
{
	struct ptb_failure failure;
	struct ptb_copy copy;
	int verdict = PTB_COPY_SAME;

	if (ptb_copy_find(device->fd, &device->info, block->offset, false, &copy, &failure) != 0)
		verdict = -1;
	else if (copy.holds == PTB_COPY_VALID)
		verdict = ptb_copy_compare(device->fd, &device->info, &copy, block->offset, &failure);
	free(copy.bytes);
	if (verdict < 0)
		device_say_failure(device->path, &failure);
	if (verdict == PTB_COPY_TORN)
		ptbtool_error(0, "warning: %s: the PTB at 0x%llx is torn, a write cut short: run ptbtool recover %s "
			      "before anything reads it", device->path, block->offset, device->path);
}

int ptbtool_recover(int argc, char **argv)
{
	struct mtd_device device;
	static const struct option table[] = { PTBTOOL_HELP_OPTION, {} };
	int option, lock, status = PTBTOOL_REFUSED;

	ptbtool_options_begin();
	if ((option = ptbtool_option(argc, argv, table)) != -1)
		return ptbtool_option_usage(option);
	if (argc - optind != 1)
		return ptbtool_usage(stderr);
	if (device_open(argv[optind], true, &device) != 0)
		return PTBTOOL_REFUSED;
	lock = device_lock(&device, true);
	if (lock >= 0) {
		status = device_recover(&device, true);
		close(lock);
	}
	close(device.fd);
	return status;
}
