/* ptbtool show: prints the parameters of a PTB image or partition dump as
 * ptbenv prints them on a device holding that dump, and warns where a value
 * is not what a factory writes. */
#include "ptb/env_layout.h"
#include "ptb/env_render.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"
#include "include/ptb.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The erase size of a dump's partition when none is given: most NAND's. */
static const unsigned long long SHOW_ERASESIZE = 131072;

static void show_warn_text(const struct env_field *field, const unsigned char *image, const char *value)
{
	size_t room = env_room(field);
	bool runs_on = memchr(image + field->offset, '\0', room) == NULL;
	bool erased = env_flaw(field, (const unsigned char *)value, strlen(value)) == ENV_FLAW_ERASED;

	if (runs_on)
		ptbtool_error(0, "warning: %s: no terminator within its %zu bytes, the value runs on%s", field->key, room,
			      erased ? "; erased flash (0xFF bytes) in it" : "");
	else if (erased)
		ptbtool_error(0, "warning: %s: erased flash (0xFF bytes) in the value", field->key);
}

void show_warn(const struct env_field *field, const unsigned char *image, const char *value)
{
	if (field->kind == ENV_TEXT || field->kind == ENV_LONG_TEXT) {
		if (value != NULL)
			show_warn_text(field, image, value);
		return;
	}
	switch (env_flaw(field, image + field->offset, env_room(field))) {
	case ENV_FLAW_ERASED:
		if (field->kind == ENV_MAC)
			ptbtool_error(0, "warning: %s: erased flash, no address", field->key);
		else
			ptbtool_error(0, "warning: %s: erased flash (0xFF)", field->key);
		break;
	case ENV_FLAW_ZERO:
		ptbtool_error(0, "warning: %s: all zero, no address", field->key);
		break;
	case ENV_FLAW_MULTICAST:
		ptbtool_error(0, "warning: %s: multicast (first byte odd), not a device's own address", field->key);
		break;
	case ENV_SOUND:
		break;
	}
}

/* PTB_KEY='value' for eval and ".": every byte as it is but the quote,
 * which ends the quoting, is escaped and quoted again. */
static void show_sh(const struct env_field *field, const char *value)
{
	printf("PTB_");
	for (const char *c = field->key; *c != '\0'; c++)
		putchar(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c);
	printf("='");
	for (const char *c = value; *c != '\0'; c++)
		if (*c == '\'')
			fputs("'\\''", stdout);
		else
			putchar(*c);
	puts("'");
}

/* sh the handle over image for --sh, which gives only sound values; NULL for KEY:VALUE lines. */
static void show_field(const struct env_field *field, const unsigned char *image, const struct ptb *sh)
{
	const char *value = env_render(field, image);
	char sound[ENV_VALUE_MAX + 1];

	if (value != NULL && sh == NULL)
		printf("%s:%s\n", field->key, value);
	else if (value != NULL && ptb_get(sh, field->key, sound, sizeof(sound), NULL) == PTB_OK)
		show_sh(field, sound);
	/* Each warning after its value, so the two read together. */
	fflush(stdout);
	show_warn(field, image, value);
}

/* Prints the keys named, or every key in lookup order. */
static int show_image(const unsigned char *image, int count, char **keys, bool sh)
{
	struct ptb *handle = NULL;

	if (sh && ptb_open_image(&handle, image, PTB_MIN_READ) != PTB_OK) {
		ptbtool_no_memory();
		return 1;
	}
	if (count == 0)
		for (size_t i = 0; i < env_field_count; i++)
			show_field(&env_fields[i], image, handle);
	for (int i = 0; i < count; i++)
		show_field(env_find(keys[i]), image, handle);
	ptb_close(handle);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		ptbtool_error(errno, "standard output");
		return 1;
	}
	return 0;
}

/* What show reads the PTB from. */
enum show_source { SHOW_NOTHING, SHOW_DUMP, SHOW_DEVICE };

/* Opens path, "-" for standard input: a dump file, a stream or an MTD
 * partition; refuses anything else by name. */
static enum show_source show_open(const char *path, struct dump_source *dump, struct mtd_device *device)
{
	struct stat status;

	bool named = strcmp(path, "-") != 0;

	dump->name = named ? path : "standard input";
	dump->fd = named ? file_open_named(path, &status) : fstat(0, &status) == 0 ? 0 : -1;
	if (dump->fd < 0 || (named && S_ISFIFO(status.st_mode) && file_await_stream(dump->fd) != 0)) {
		ptbtool_error(errno, "%s", dump->name);
		return SHOW_NOTHING;
	}
	if (S_ISREG(status.st_mode)) {
		dump->length = (unsigned long long)status.st_size;
		return SHOW_DUMP;
	}
	if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
		dump->stream = true;
		return SHOW_DUMP;
	}
	if (S_ISCHR(status.st_mode) && device_is_mtd(dump->fd, &device->info)) {
		device->path = path;
		device->fd = dump->fd;
		device->rdev = status.st_rdev;
		return SHOW_DEVICE;
	}
	ptbtool_error(0, "%s: not a dump file, a pipe or an MTD device", dump->name);
	return SHOW_NOTHING;
}

/* One read of the device for all the keys asked, never of a block that a
 * write has half done. */
static int show_device(const struct mtd_device *device, const struct dump_partition *given, unsigned char *image)
{
	struct ptb_block block;
	int lock, result = -1;

	if (given->size != 0 || given->erasesize != 0 || given->bad_count != 0)
		return ptbtool_error(0, "%s: an MTD device tells its own geometry and bad blocks: "
				     "no --erasesize, --size or --bad with it", device->path);
	lock = device_lock(device, false);
	if (lock != -1) {
		if (device_read(device, &block) == 0) {
			memcpy(image, block.image, PTB_MIN_READ);
			result = 0;
		}
		device_warn_torn(device, &block);
		free(block.image);
	}
	if (lock >= 0)
		close(lock);
	return result;
}

int show_read(const char *path, struct dump_partition *partition, unsigned char *image)
{
	struct dump_source dump = { path, -1, false, 0, NULL };
	struct mtd_device device = {};
	int result = -1;

	if (dump_parse_bad(partition) != 0)
		return -1;
	switch (show_open(path, &dump, &device)) {
	case SHOW_DEVICE:
		result = show_device(&device, partition, image);
		break;
	case SHOW_DUMP:
		if (partition->erasesize == 0)
			partition->erasesize = SHOW_ERASESIZE;
		if (dump_read(&dump, partition) == 0) {
			memcpy(image, dump.image, PTB_MIN_READ);
			result = 0;
		}
		break;
	case SHOW_NOTHING:
		break;
	}
	if (dump.fd > 0)
		close(dump.fd);
	free(dump.image);
	free(partition->bad);
	partition->bad = NULL;
	return result;
}

static int show(const char *path, int count, char **keys, struct dump_partition *partition, bool sh)
{
	unsigned char *image = (unsigned char *)malloc(PTB_MIN_READ);
	int result = 1;

	for (int i = 0; i < count; i++)
		if (env_find(keys[i]) == NULL) {
			ptbtool_error(0, "no such key: %s", ptbtool_quoted(keys[i], strlen(keys[i])));
			free(image);
			return 1;
		}
	if (image == NULL)
		ptbtool_no_memory();
	else if (show_read(path, partition, image) == 0)
		result = show_image(image, count, keys, sh);
	free(image);
	return result;
}

enum { OPTION_SH = PTBTOOL_HELP + 1, OPTION_ERASESIZE, OPTION_SIZE, OPTION_BAD };

static const struct option show_table[] = {
	{ "sh", no_argument, NULL, OPTION_SH },
	{ "erasesize", required_argument, NULL, OPTION_ERASESIZE },
	{ "size", required_argument, NULL, OPTION_SIZE },
	{ "bad", required_argument, NULL, OPTION_BAD },
	PTBTOOL_HELP_OPTION,
	{},
};

bool show_options(int argc, char **argv, struct dump_partition *partition, bool *sh, int *status)
{
	int option;

	ptbtool_options_begin();
	while ((option = ptbtool_option(argc, argv, show_table)) != -1) {
		int refused = 0;

		if (option == OPTION_SH && sh != NULL) {
			*sh = true;
		} else if (option == OPTION_ERASESIZE) {
			refused = ptbtool_number("--erasesize", optarg, 1, PTBTOOL_ERASESIZE_MAX, &partition->erasesize);
		} else if (option == OPTION_SIZE) {
			refused = ptbtool_number("--size", optarg, 1, ~0ULL >> 1, &partition->size);
		} else if (option == OPTION_BAD) {
			partition->bad_list = optarg;
		} else {
			*status = ptbtool_option_usage(option);
			return false;
		}
		if (refused != 0) {
			*status = 1;
			return false;
		}
	}
	if (optind < argc)
		return true;
	*status = ptbtool_usage(stderr);
	return false;
}

int ptbtool_show(int argc, char **argv)
{
	struct dump_partition partition = { 0, 0, "", NULL, 0 };
	bool sh = false;
	int status;

	if (!show_options(argc, argv, &partition, &sh, &status))
		return status;
	return show(argv[optind], argc - optind - 1, argv + optind + 1, &partition, sh);
}
