/* An MTD partition that ptbtool reads or writes on the device itself: its
 * geometry from the driver, a lock shared by every node of it, the PTB read
 * through the block walk ptbenv makes with the ECC counters' verdict said in
 * words, and the PTB written with what was done said. */
#include "ptb/env_layout.h"
#include "ptb/ptb_copy.h"
#include "ptb/ptb_env.h"
#include "ptb/ptb_write.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

/* MTD character devices: minor 2N is mtdN, 2N + 1 its read-only node. */
static const unsigned MTD_CHAR_MAJOR = 90;

/* How long a run waits for another ptbtool to finish with the partition. */
static const int DEVICE_LOCK_TRIES = 200;
static const useconds_t DEVICE_LOCK_WAIT = 50000;

bool device_is_mtd(int fd, struct mtd_info_user *info)
{
	return ioctl(fd, MEMGETINFO, info) == 0;
}

/* Bitflips corrected are the warning sign of a block wearing out; a failure
 * where no value lies is worth knowing too. */
static void device_warn_ecc(const struct mtd_device *device, const struct ptb_block *block)
{
	if (block->ecc.corrected > 0)
		ptbtool_error(0, "warning: %s: the ECC corrected %u bitflip%s reading the PTB at 0x%llx: "
			      "rewrite it before more flip than the ECC corrects",
			      device->path, block->ecc.corrected, ptbtool_plural(block->ecc.corrected), block->offset);
	if (block->ecc.failed > 0)
		ptbtool_error(0, "warning: %s: the ECC could not correct %u step%s reading the PTB at 0x%llx, "
			      "but the values' %zu bytes read clean a second time",
			      device->path, block->ecc.failed, ptbtool_plural(block->ecc.failed), block->offset,
			      env_values_end());
}

int device_open(const char *path, bool writing, struct mtd_device *device)
{
	struct stat status;

	device->path = path;
	device->fd = open(path, writing ? O_RDWR : O_RDONLY);
	if (device->fd < 0) {
		if (writing && (errno == EACCES || errno == EROFS))
			return ptbtool_error(0, "%s: can't be written (%s): a read-only node or partition", path,
					     strerror(errno));
		return ptbtool_error(errno, "%s", path);
	}
	if (fstat(device->fd, &status) != 0 || !S_ISCHR(status.st_mode) || !device_is_mtd(device->fd, &device->info)) {
		close(device->fd);
		return ptbtool_error(0, "%s: not an MTD device", path);
	}
	/* The writer counts its blocks in erase blocks. */
	if (writing && device->info.erasesize == 0) {
		close(device->fd);
		return ptbtool_error(0, "%s: its driver gives an erase size of 0, so no erase block can be written", path);
	}
	device->rdev = status.st_rdev;
	return 0;
}

/* The partition's own read-write node, /dev/mtdN, whichever of its nodes
 * was named: a node only root can open, so no other user can hold its lock,
 * and nothing is made for it. Returns it open, or -1 with errno set. */
static int device_lock_node(const struct mtd_device *device, char *path, size_t size)
{
	unsigned number = major(device->rdev), minor_number = minor(device->rdev);
	dev_t own = number == MTD_CHAR_MAJOR ? makedev(MTD_CHAR_MAJOR, minor_number & ~1u) : device->rdev;
	struct stat status;
	int fd;

	if (number == MTD_CHAR_MAJOR)
		snprintf(path, size, "/dev/mtd%u", minor_number / 2);
	else
		snprintf(path, size, "%s", device->path);
	fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) || status.st_rdev != own) {
		close(fd);
		errno = ENODEV;
		return -1;
	}
	return fd;
}

int device_lock(const struct mtd_device *device, bool writing)
{
	char node[PATH_MAX];
	int fd = device_lock_node(device, node, sizeof(node));

	if (fd < 0) {
		if (!writing)
			return DEVICE_UNLOCKED;
		return ptbtool_error(0, "%s: the partition's node %s can't be locked (%s); nothing done", device->path,
				     node, errno == ENODEV ? "not the partition's read-write node" : strerror(errno));
	}
	for (int tries = 0; flock(fd, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0; tries++) {
		if ((errno != EWOULDBLOCK && errno != EINTR) || tries == DEVICE_LOCK_TRIES) {
			if (errno == EWOULDBLOCK)
				ptbtool_error(0, "%s: another ptbtool is still at it; nothing done", device->path);
			else
				ptbtool_error(errno, "%s", device->path);
			close(fd);
			return -1;
		}
		if (tries == 0)
			ptbtool_error(0, "%s: waiting for another ptbtool to finish with it", device->path);
		usleep(DEVICE_LOCK_WAIT);
	}
	return fd;
}

int device_read(const struct mtd_device *device, struct ptb_block *block)
{
	if (ptb_read_block(device->fd, &device->info, block) != 0) {
		if (block->ecc.values_failed > 0)
			ptbtool_error(0, "%s: the ECC could not correct %u step%s of the PTB's values at 0x%llx "
				      "(its first %zu bytes), read twice: restore them from a backup or write a full image",
				      device->path, block->ecc.values_failed, ptbtool_plural(block->ecc.values_failed),
				      block->offset, env_values_end());
		return -1;
	}
	device_warn_ecc(device, block);
	return 0;
}

/* The writer's device steps, as ptbtool says them, in ptb_device_step's order. */
static const char *const DEVICE_STEPS[] = {
	"asking for the bad mark of the block at",
	"erasing the block at",
	"programming the page at",
	"reading back the block at",
	"reading the block at",
	"erasing the copy's block at",
	"reading the copy at",
	"writing the copy at",
	"reading the PTB at",
	"the copy at",
};

void device_say_failure(const char *path, const struct ptb_failure *failure)
{
	const char *step = DEVICE_STEPS[failure->step];

	if (failure->step == PTB_COPY_READ_BACK)
		ptbtool_error(0, "%s: %s 0x%llx does not read back as written", path, step, failure->at);
	else if (failure->step == PTB_READING_BACK && failure->error == 0)
		ptbtool_error(0, "%s: %s 0x%llx: not the bytes written", path, step, failure->at);
	else
		ptbtool_error(0, "%s: %s 0x%llx: %s", path, step, failure->at, strerror(failure->error));
}

static void device_say_retired(const char *path, const struct ptb_retired *retired)
{
	const char *what = retired->failed ? "failed" : "lies ahead of the PTB's new place";

	if (retired->mark_error == 0)
		ptbtool_error(0, "%s: the block at 0x%llx %s: %s marked bad", path, retired->at, what,
			      retired->erased ? "it is erased and" : "erasing it failed too; it is");
	else
		ptbtool_error(0, "%s: the block at 0x%llx %s: %s marking it bad failed: %s; "
			      "after a reboot it may read as good again", path, retired->at, what,
			      retired->erased ? "it is erased, but" : "erasing it failed too, and",
			      strerror(retired->mark_error));
}

void device_say_write(const char *path, const struct mtd_info_user *info, const struct ptb_write_report *report)
{
	for (unsigned i = 0; i < report->tries_failed; i++)
		device_say_failure(path, &report->tries[i]);
	for (unsigned i = 0; i < report->retired_count; i++)
		device_say_retired(path, &report->retired[i]);
	if (report->read_back_tried) {
		struct ptb_block block = {};

		block.bad_ahead = report->read_back_bad;
		errno = report->read_back_error;
		ptb_env_report(report->read_back, &block, info->erasesize);
	}
	switch (report->end) {
	case PTB_WRITE_DONE:
		break;
	case PTB_WRITE_NO_MEMORY:
		ptbtool_no_memory();
		break;
	case PTB_WRITE_STEP_FAILED:
		device_say_failure(path, &report->step);
		break;
	case PTB_WRITE_NO_GOOD:
		ptbtool_error(0, "%s: no good block is left for the PTB", path);
		break;
	case PTB_WRITE_PAST_END:
	case PTB_WRITE_INTO_COPY:
		ptbtool_error(0, "%s: the PTB at 0x%llx runs past %s", path, report->offset,
			      report->end == PTB_WRITE_INTO_COPY ? "the blocks its copy may take" : "the partition's end");
		break;
	case PTB_WRITE_STOPPED:
		ptbtool_error(0, "%s: %u blocks failed: stopped", path, report->tries_failed);
		break;
	case PTB_WRITE_NOT_READ:
		ptbtool_error(0, "%s: the PTB does not read back", path);
		break;
	case PTB_WRITE_NOT_AS_WRITTEN:
		ptbtool_error(0, "%s: the PTB does not read back as written", path);
		break;
	}
}

/* Says how a write ended; returns the exit status that tells it. */
int device_written(const struct mtd_device *device, int written, const struct ptb_write_report *report,
		   const char *backup)
{
	device_say_write(device->path, &device->info, report);
	if (written != 0) {
		if (!report->touched)
			return PTBTOOL_REFUSED;
		ptbtool_error(0, "%s: the flash has changed, but the PTB is not what was asked%s%s%s", device->path,
			      backup != NULL ? "; ptbtool write puts back its blocks as they were from " : "",
			      backup != NULL ? backup : "", backup != NULL ? "" : "; see what it holds with ptbtool show");
		return PTBTOOL_CHANGED;
	}
	if (report->corrected > 0)
		ptbtool_error(0, "warning: %s: the ECC corrected %u bitflip%s reading the fresh PTB back: the flash is wearing",
			      device->path, report->corrected, ptbtool_plural(report->corrected));
	printf("ptbtool: %s: the PTB at 0x%llx is written (%u erase block%s) and reads back as asked\n",
	       device->path, report->offset, report->blocks_written, ptbtool_plural(report->blocks_written));
	if (!report->mark_failed)
		return 0;
	ptbtool_error(0, "%s: the PTB may not survive a reboot: the failed block ahead of it may then read as good",
		      device->path);
	return PTBTOOL_CHANGED;
}

/* Where there is no copy, a cut while the PTB is rewritten can lose it:
 * then only a backup goes on. */
static int device_no_copy(const struct mtd_device *device, const struct ptb_copy *copy, const char *backup)
{
	char why[160];

	if (copy->holds == PTB_COPY_NO_ROOM)
		snprintf(why, sizeof(why), "the partition has no room for the PTB's copy past what ptbenv reads");
	else
		snprintf(why, sizeof(why), "the blocks from 0x%llx on, where the PTB's copy goes, hold something else, "
			 "left alone", ptb_copy_start(copy));
	if (backup == NULL) {
		ptbtool_error(0, "%s: %s, so a power cut while the PTB is rewritten could lose it: "
			      "nothing written; name a --backup FILE to go on without a copy", device->path, why);
		return PTBTOOL_REFUSED;
	}
	ptbtool_error(0, "warning: %s: %s: a power cut while the PTB is rewritten leaves it in %s alone",
		      device->path, why, backup);
	return 0;
}

/* The new PTB's copy, written before the PTB is touched; the request's
 * limit is where the PTB must keep ptbenv's read from. Returns 0 to go on,
 * or the exit status. */
static int device_copy(const struct mtd_device *device, struct ptb_write_request *request, const char *backup)
{
	size_t blocks = ptb_write_length(&device->info) / device->info.erasesize;
	struct ptb_failure failure;
	struct ptb_copy copy;
	unsigned changed = 0;
	int status = 0;

	if (ptb_copy_find(device->fd, &device->info, request->offset, true, &copy, &failure) != 0) {
		device_say_failure(device->path, &failure);
		return PTBTOOL_REFUSED;
	}
	free(copy.bytes);
	if (copy.holds == PTB_COPY_NO_ROOM || copy.holds == PTB_COPY_FOREIGN)
		return device_no_copy(device, &copy, backup);
	for (size_t b = 0; b < blocks; b++)
		if (ptb_write_changes(request, b))
			changed |= 1U << b;
	if (ptb_copy_write(device->fd, &device->info, &copy, request->image, request->offset, changed, &failure) != 0) {
		device_say_failure(device->path, &failure);
		ptbtool_error(0, "%s: the PTB's copy could not be written: the PTB is left as it was", device->path);
		status = PTBTOOL_REFUSED;
	}
	request->limit = ptb_copy_start(&copy);
	return status;
}

int device_write(const struct mtd_device *device, const struct ptb_block *block, const unsigned char *image,
		 bool refresh, const char *backup)
{
	size_t region = ptb_write_length(&device->info);
	/* Bytes the ECC could not read whole are not known: every block is written. */
	const unsigned char *old = block->ecc.failed > 0 ? NULL : block->image;
	struct ptb_write_request request = { device->fd, &device->info, block->offset, old, image, refresh,
					     device->info.size };
	struct ptb_write_report report;
	int status;

	if (backup != NULL && (old == NULL || file_create(backup, old, region) != 0)) {
		if (old == NULL)
			ptbtool_error(0, "%s: the PTB does not read whole: no backup of it", device->path);
		return PTBTOOL_REFUSED;
	}
	if (!refresh && old != NULL && memcmp(old, image, region) == 0) {
		printf("ptbtool: %s: the PTB at 0x%llx holds this already: nothing written\n", device->path, block->offset);
		return 0;
	}
	status = device_copy(device, &request, backup);
	if (status != 0)
		return status;
	status = ptb_write(&request, &report);
	return device_written(device, status, &report, backup);
}
