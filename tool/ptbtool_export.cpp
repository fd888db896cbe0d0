/* ptbtool export: one file per value in a folder, for services to read
 * without running anything. The folder is made whole under a temporary name
 * beside it and swapped in, so that a reader finds the old values or the
 * new, never half a value or a folder missing. */
#include "include/ptb.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

/* The values any service may read: the device's identity and radio data.
 * Every other key, the LoRaWAN and qv keys and any key added later, stays
 * root's alone. */
static const char *const export_public[] = { "chipinfo", "lorainfo", "wifiinfo", "product", "sninfo", "deveui",
					     "appeui", "devaddr", "cmdline", "ethaddr", "qvhardreset", "qvauthcheck" };

static mode_t export_mode(const char *key)
{
	for (const char *open_key : export_public)
		if (strcmp(key, open_key) == 0)
			return 0644;
	return 0600;
}

/* key's file in the folder at dir: value and a newline, synced. */
static int export_file(int dir, const char *key, const char *value)
{
	int fd = openat(dir, key, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	size_t length = strlen(value);
	bool done;

	if (fd < 0)
		return -1;
	done = file_write_all(fd, value, length) == 0 && file_write_all(fd, "\n", 1) == 0 &&
	       fchmod(fd, export_mode(key)) == 0 && fsync(fd) == 0;
	return close(fd) == 0 && done ? 0 : -1;
}

/* Every value a factory writes into the new folder at dir, made open to read
 * once full; returns 0, or -1 with errno set. */
static int export_fill(int dir, const struct ptb *handle, const unsigned char *image)
{
	char value[ENV_VALUE_MAX + 1];

	for (size_t i = 0; i < env_field_count; i++) {
		const char *key = env_fields[i].key;

		if (get_value(handle, image, key, value, false) != NULL && export_file(dir, key, value) != 0)
			return -1;
	}
	return fchmod(dir, 0755) == 0 && fsync(dir) == 0 ? 0 : -1;
}

/* Removes the folder at path with the keys' files in it, none followed;
 * says so where anything else keeps it. */
static void export_remove(const char *path)
{
	int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);

	for (size_t i = 0; fd >= 0 && i < env_field_count; i++)
		unlinkat(fd, env_fields[i].key, 0);
	if (fd >= 0)
		close(fd);
	if (rmdir(path) != 0)
		ptbtool_error(errno, "warning: %s: left behind", path);
}

/* Puts the full folder at temporary in target's place, the old one removed. */
static int export_swap(const char *temporary, const char *target)
{
	bool exchanged = syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, target, RENAME_EXCHANGE) == 0;

	if (!exchanged && (errno != ENOENT ||
			   syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, target, RENAME_NOREPLACE) != 0))
		return -1;
	if (file_sync_folder(target) != 0)
		ptbtool_error(errno, "warning: %s: its folder not synced", target);
	if (exchanged)
		export_remove(temporary);
	return 0;
}

static int export_to(const char *dir, const struct ptb *handle, const unsigned char *image)
{
	char target[PATH_MAX], temporary[PATH_MAX + 8];
	int fd;

	if (file_folder(dir, target, sizeof(target)) != 0)
		return 1;
	snprintf(temporary, sizeof(temporary), "%s.XXXXXX", target);
	if (mkdtemp(temporary) == NULL) {
		ptbtool_error(errno, "%s", dir);
		return 1;
	}
	fd = open(temporary, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd >= 0 && export_fill(fd, handle, image) == 0 && export_swap(temporary, target) == 0) {
		close(fd);
		return 0;
	}
	ptbtool_error(errno, "%s", dir);
	if (fd >= 0)
		close(fd);
	export_remove(temporary);
	return 1;
}

int ptbtool_export(int argc, char **argv)
{
	struct dump_partition partition = { 0, 0, "", NULL, 0 };
	unsigned char *image;
	struct ptb *handle = NULL;
	int status, result = 1;

	if (!show_options(argc, argv, &partition, NULL, &status))
		return status;
	if (argc - optind != 2)
		return ptbtool_usage(stderr);
	image = (unsigned char *)malloc(PTB_MIN_READ);
	if (image == NULL)
		ptbtool_no_memory();
	else if (show_read(argv[optind], &partition, image) == 0) {
		if (ptb_open_image(&handle, image, PTB_MIN_READ) == PTB_OK)
			result = export_to(argv[optind + 1], handle, image);
		else
			ptbtool_no_memory();
	}
	ptb_close(handle);
	free(image);
	return result;
}
