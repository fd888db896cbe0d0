/* ptbtool set: changes values of the PTB on the device itself, by make's
 * rules, keeping every byte it is not asked to change; with no value given
 * it rewrites the PTB as it reads, refreshing what the ECC corrected. */
#include "ptb/ptb_copy.h"
#include "tool/ptbtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The PTB as read, with the values given; every one refused by make's rules
 * refuses the whole set. */
static int set_values(const struct mtd_device *device, const struct ptb_block *block, int count, char **assignments,
		      const char *backup)
{
	struct assignments given = {};
	unsigned char *image;
	const char *erased;
	int status = PTBTOOL_REFUSED, i = 0;

	/* A byte the ECC could not correct can't be kept, wherever it lies. */
	if (block->ecc.failed > 0) {
		ptbtool_error(0, "%s: the PTB at 0x%llx does not read whole (the ECC could not correct %u step%s), "
			      "so its bytes can't be kept: restore it from a backup or write a full image with ptbtool write",
			      device->path, block->offset, block->ecc.failed, ptbtool_plural(block->ecc.failed));
		return PTBTOOL_REFUSED;
	}
	if ((erased = ptb_values_erased(block->image)) != NULL) {
		ptbtool_error(0, "%s: the PTB at 0x%llx reads as erased flash where its values lie (%s): "
			      "run ptbtool recover %s, or write an image or a backup with ptbtool write",
			      device->path, block->offset, erased, device->path);
		return PTBTOOL_REFUSED;
	}
	image = (unsigned char *)malloc(block->length);
	if (image == NULL || assign_begin(&given, image) != 0) {
		if (image == NULL)
			ptbtool_no_memory();
		free(image);
		return PTBTOOL_REFUSED;
	}
	memcpy(image, block->image, block->length);
	while (i < count && assign_one(&given, "", 0, assignments[i], strlen(assignments[i])) == 0)
		i++;
	if (i == count)
		status = device_write(device, block, image, count == 0, backup);
	assign_end(&given);
	free(image);
	return status;
}

static int set(const char *path, int count, char **assignments, const char *backup)
{
	struct mtd_device device;
	struct ptb_block block;
	int lock, status = PTBTOOL_REFUSED;

	if ((backup != NULL && file_name_free(backup) != 0) || device_open(path, true, &device) != 0)
		return PTBTOOL_REFUSED;
	lock = device_lock(&device, true);
	if (lock >= 0) {
		/* A write cut short is finished before anything else. */
		status = device_recover(&device, false);
		if (status == 0 && device_read(&device, &block) == 0) {
			status = set_values(&device, &block, count, assignments, backup);
			free(block.image);
		} else if (status == 0) {
			status = PTBTOOL_REFUSED;
		}
		close(lock);
	}
	close(device.fd);
	return status;
}

int ptbtool_set(int argc, char **argv)
{
	const char *backup = NULL;
	int status;

	if (!ptbtool_backup_option(argc, argv, &backup, &status))
		return status;
	return set(argv[optind], argc - optind - 1, argv + optind + 1, backup);
}
