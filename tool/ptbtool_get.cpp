/* ptbtool get: one value alone, for a script to take into a variable, and
 * only one a factory writes. */
#include "include/ptb.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char *get_value(const struct ptb *handle, const unsigned char *image, const char *key, char *value, bool asked)
{
	const struct env_field *field = env_find(key);

	switch (ptb_get(handle, key, value, ENV_VALUE_MAX + 1, NULL)) {
	case PTB_OK:
		/* What ptbenv would print and a factory writes, a text that runs on warned of. */
		show_warn(field, image, value);
		return value;
	case PTB_FLAWED:
		show_warn(field, image, value);
		return NULL;
	case PTB_ERR_NO_VALUE:
		if (asked)
			ptbtool_error(0, "%s: no value", key);
		return NULL;
	default:
		ptbtool_error(errno, "%s", key);
		return NULL;
	}
}

static int get_print(const char *value)
{
	printf("%s\n", value);
	if (fflush(stdout) == 0 && !ferror(stdout))
		return 0;
	ptbtool_error(errno, "standard output");
	return 1;
}

static int get(const char *path, const struct env_field *field, struct dump_partition *partition)
{
	unsigned char *image = (unsigned char *)malloc(PTB_MIN_READ);
	char value[ENV_VALUE_MAX + 1];
	struct ptb *handle = NULL;
	int result = 1;

	if (image == NULL)
		ptbtool_no_memory();
	else if (show_read(path, partition, image) == 0) {
		if (ptb_open_image(&handle, image, PTB_MIN_READ) != PTB_OK)
			ptbtool_no_memory();
		else if (get_value(handle, image, field->key, value, true) != NULL)
			result = get_print(value);
	}
	ptb_close(handle);
	free(image);
	return result;
}

int ptbtool_get(int argc, char **argv)
{
	struct dump_partition partition = { 0, 0, "", NULL, 0 };
	const struct env_field *field;
	int status;

	if (!show_options(argc, argv, &partition, NULL, &status))
		return status;
	if (argc - optind != 2)
		return ptbtool_usage(stderr);
	field = env_find(argv[optind + 1]);
	if (field == NULL) {
		ptbtool_error(0, "no such key: %s", ptbtool_quoted(argv[optind + 1], strlen(argv[optind + 1])));
		return 1;
	}
	return get(argv[optind], field, &partition);
}
