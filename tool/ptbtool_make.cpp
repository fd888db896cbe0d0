/* ptbtool make: writes a PTB image holding the given parameter values, or
 * nothing at all when any value would not read back as given. */
#include "ptb/env_layout.h"
#include "ptb/env_put.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Fields files, in the order given; at most as many as the options can name. */
struct make_options {
	unsigned long long erasesize;
	unsigned long long fill;
	const char **fields;
	int field_files;
};

static int make_read_options(int argc, char **argv, int *i, struct make_options *options)
{
	int more;

	for (; (more = ptbtool_option(argc, argv, i)) == PTBTOOL_OPTION; *i += 2) {
		const char *value = argv[*i + 1];

		if (strcmp(argv[*i], "--erasesize") == 0) {
			if (ptbtool_number("--erasesize", value, 1, PTBTOOL_ERASESIZE_MAX, &options->erasesize) != 0)
				return 1;
		} else if (strcmp(argv[*i], "--fill") == 0) {
			if (ptbtool_number("--fill", value, 0, 0xFF, &options->fill) != 0)
				return 1;
		} else if (strcmp(argv[*i], "--fields") == 0) {
			options->fields[options->field_files++] = value;
		} else {
			return ptbtool_usage(stderr);
		}
	}
	return more;
}

/* Every fields file in turn, then the command line's assignments. */
static int make_assign_all(struct assignments *given, const struct make_options *options,
			   int count, char **assignments)
{
	for (int f = 0; f < options->field_files; f++)
		if (assign_file(given, options->fields[f]) != 0)
			return -1;
	for (int i = 0; i < count; i++)
		if (assign_one(given, "", 0, assignments[i], strlen(assignments[i])) != 0)
			return -1;
	return 0;
}

int ptbtool_make(int argc, char **argv)
{
	struct make_options options = { PTB_MIN_READ, 0xFF, NULL, 0 };
	struct assignments given = {};
	unsigned char *image;
	size_t length;
	int i = 1, more, status = 1;

	/* Each --fields takes two arguments, so half of them are room enough. */
	options.fields = (const char **)calloc((size_t)argc / 2 + 1, sizeof(char *));
	more = options.fields != NULL ? make_read_options(argc, argv, &i, &options) : 1;
	if (more != PTBTOOL_OPERANDS) {
		free(options.fields);
		return more;
	}
	length = ptb_read_length(options.erasesize);
	image = (unsigned char *)malloc(length);
	if (image == NULL) {
		fprintf(stderr, "ptbtool: no memory for an image of %zu bytes\n", length);
	} else if (assign_begin(&given, image) == 0) {
		memset(image, (int)options.fill, length);
		for (size_t f = 0; f < env_field_count; f++)
			env_clear(image, &env_fields[f]);
		if (make_assign_all(&given, &options, argc - i - 1, argv + i + 1) == 0 &&
		    file_replace(argv[i], image, length) == 0)
			status = 0;
		assign_end(&given);
	}
	free(image);
	free(options.fields);
	return status;
}
