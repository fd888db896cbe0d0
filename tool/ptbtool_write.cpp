/* ptbtool write: writes a PTB image, one make made or a backup, byte for
 * byte into the erase blocks the values lie in, from the device's first good
 * block: the factory's and the restore path. */
#include "ptb/env_layout.h"
#include "ptb/ptb_copy.h"
#include "ptb/ptb_env.h"
#include "ptb/ptb_write.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The image file, whole: at least the values' bytes, at most what a PTB
 * read takes on this device, so that a partition dump is not taken for one. */
static unsigned char *write_load(const char *path, const struct mtd_device *device, size_t *length)
{
	size_t most = ptb_read_length(device->info.erasesize);
	struct stat status;
	/* A FIFO named as the image is refused, not waited on. */
	int fd = file_open_named(path, &status);
	unsigned char *bytes = NULL;

	ssize_t got = 0;

	if (fd < 0) {
		ptbtool_error(errno, "%s", path);
	} else if (!S_ISREG(status.st_mode) || (size_t)status.st_size < env_values_end() ||
		   (size_t)status.st_size > most) {
		ptbtool_error(0, "%s: not a PTB image for %s: it must be a file of %zu to %zu bytes", path,
			      device->path, env_values_end(), most);
	} else if ((bytes = (unsigned char *)malloc((size_t)status.st_size)) == NULL) {
		ptbtool_no_memory();
	} else if ((got = file_read_all(fd, bytes, (size_t)status.st_size, 0)) != (ssize_t)status.st_size) {
		if (got < 0)
			ptbtool_error(errno, "%s", path);
		else
			ptbtool_error(0, "%s: short read", path);
		free(bytes);
		bytes = NULL;
	} else {
		*length = (size_t)status.st_size;
	}
	if (fd >= 0)
		close(fd);
	return bytes;
}

/* The blocks to write: the image over the PTB's bytes as read, which stay
 * past the image's end; the image alone where those could not be read. */
static unsigned char *write_region(const struct mtd_device *device, const struct ptb_block *block,
				   const unsigned char *bytes, size_t length)
{
	size_t region = ptb_write_length(&device->info);
	unsigned char *image = (unsigned char *)malloc(region);

	if (image == NULL) {
		ptbtool_no_memory();
		return NULL;
	}
	if (length < region && (block->image == NULL || block->ecc.failed > 0)) {
		ptbtool_error(0, "%s: the PTB does not read whole, so the bytes past the image's %zu can't be kept: "
			      "write an image of %zu bytes", device->path, length, region);
		free(image);
		return NULL;
	}
	if (length < region)
		memcpy(image, block->image, region);
	memcpy(image, bytes, length < region ? length : region);
	return image;
}

static int write_image(const unsigned char *bytes, size_t length, const struct mtd_device *device,
		       const char *backup)
{
	struct ptb_block block;
	unsigned char *image;
	int status = PTBTOOL_REFUSED;

	/* A write cut short is finished first, so that its bytes are kept past the image's end. */
	status = device_recover(device, false);
	if (status != 0)
		return status;
	/* A PTB the ECC can't read whole is what a restore is for: it is written over. */
	if (device_read(device, &block) != 0 && block.ecc.values_failed == 0)
		return PTBTOOL_REFUSED;
	image = write_region(device, &block, bytes, length);
	if (image != NULL)
		status = device_write(device, &block, image, false, backup);
	free(block.image);
	free(image);
	return status;
}

int ptbtool_write(int argc, char **argv)
{
	struct mtd_device device;
	const char *backup = NULL;
	unsigned char *bytes;
	size_t length = 0;
	const char *path, *image;
	int lock, status;

	if (!ptbtool_backup_option(argc, argv, &backup, &status))
		return status;
	status = PTBTOOL_REFUSED;
	if (argc - optind != 2)
		return ptbtool_usage(stderr);
	path = argv[optind];
	image = argv[optind + 1];
	if ((backup != NULL && file_name_free(backup) != 0) || device_open(path, true, &device) != 0)
		return PTBTOOL_REFUSED;
	bytes = write_load(image, &device, &length);
	/* How an erased PTB's backup would "restore" it. */
	if (bytes != NULL && ptb_erased(bytes, env_values_end())) {
		ptbtool_error(0, "%s: its values' %zu bytes are all 0xFF, erased flash: not a PTB to write", image,
			      env_values_end());
		free(bytes);
		bytes = NULL;
	}
	lock = bytes != NULL ? device_lock(&device, true) : -1;
	if (lock >= 0) {
		status = write_image(bytes, length, &device, backup);
		close(lock);
	}
	free(bytes);
	close(device.fd);
	return status;
}
