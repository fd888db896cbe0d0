/* ptbenv's layer over the reader: its lines, its notices and its static
 * value, as the device's scripts have always read them. */
#include "ptb/ptb_env.h"
#include "ptb/env_layout.h"
#include "ptb/env_render.h"
#include "ptb/ptb_block.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

/* The last byte is never written, so a copy that meets no NUL still ends. */
static char env_value[ENV_VALUE_MAX + 1];

void ptb_env_report(enum ptb_step step, const struct ptb_block *block, unsigned erasesize)
{
	int error = errno;

	for (unsigned long long i = 0; i < block->bad_ahead; i++) {
		unsigned offset = (unsigned)(i * erasesize);

		fprintf(stderr, "Bad block at %x, from %x will be skipped\n", offset, offset);
	}
	errno = error;
	switch (step) {
	case PTB_STEP_OPEN:
		perror("open PTB");
		break;
	case PTB_STEP_INFO:
		perror("PTB MEMGETINFO");
		break;
	case PTB_STEP_BADBLOCK:
		perror("ioctl(MEMGETBADBLOCK)");
		break;
	case PTB_STEP_NO_GOOD:
		fwrite("Can't find good block in PTB.\n", 1, 30, stderr);
		break;
	case PTB_STEP_READ:
		perror("pread PTB");
		break;
	case PTB_STEP_DONE:
		break;
	}
}

int ptb_read_block(int fd, const struct mtd_info_user *info, struct ptb_block *block)
{
	enum ptb_step step = ptb_block_read(fd, info, block);

	ptb_env_report(step, block, info->erasesize);
	return step == PTB_STEP_DONE ? 0 : -1;
}

int ptb_read(unsigned char **image)
{
	struct mtd_info_user info = {};
	struct ptb_block block;
	enum ptb_step step = ptb_device_read(PTB_DEVICE_PATH, &info, &block);

	ptb_env_report(step, &block, info.erasesize);
	if (step == PTB_STEP_OPEN)
		exit(1);
	if (step != PTB_STEP_DONE)
		return -1;
	*image = block.image;
	return 0;
}

const char *env_render(const struct env_field *field, const unsigned char *image)
{
	return env_format(field, image, env_value) ? env_value : NULL;
}

const char *env_get(const char *key)
{
	unsigned char *image;
	const struct env_field *field;
	const char *value;

	if (key == NULL) {
		puts("\n =====get env is NULL. ==== ");
		return NULL;
	}
	if (ptb_read(&image) < 0) {
		puts("\n ===== zarn read env failed.");
		return NULL;
	}
	field = env_find(key);
	if (field == NULL) {
		free(image);
		printf("\n====[%s] env not supported. \n", key);
		return NULL;
	}
	value = env_render(field, image);
	free(image);
	return value;
}
