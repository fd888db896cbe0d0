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

enum { OPTION_ERASESIZE = PTBTOOL_HELP + 1, OPTION_FILL, OPTION_FIELDS };

static const struct option make_table[] = {
	{ "erasesize", required_argument, NULL, OPTION_ERASESIZE },
	{ "fill", required_argument, NULL, OPTION_FILL },
	{ "fields", required_argument, NULL, OPTION_FIELDS },
	PTBTOOL_HELP_OPTION,
	{},
};

/* true with optind at OUT, or false with *status the exit status. */
static bool make_read_options(int argc, char **argv, struct make_options *options, int *status)
{
	int option, refused = 0;

	ptbtool_options_begin();
	while (refused == 0 && (option = ptbtool_option(argc, argv, make_table)) != -1) {
		if (option == OPTION_ERASESIZE) {
			refused = ptbtool_number("--erasesize", optarg, 1, PTBTOOL_ERASESIZE_MAX, &options->erasesize);
		} else if (option == OPTION_FILL) {
			refused = ptbtool_number("--fill", optarg, 0, 0xFF, &options->fill);
		} else if (option == OPTION_FIELDS) {
			options->fields[options->field_files++] = optarg;
		} else {
			*status = ptbtool_option_usage(option);
			return false;
		}
	}
	if (refused == 0 && optind < argc)
		return true;
	*status = refused != 0 ? 1 : ptbtool_usage(stderr);
	return false;
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
	int out, status = 1;

	/* One --fields=FILE an argument at most. */
	options.fields = (const char **)calloc((size_t)argc, sizeof(char *));
	if (options.fields == NULL) {
		ptbtool_no_memory();
		return 1;
	}
	if (!make_read_options(argc, argv, &options, &status)) {
		free(options.fields);
		return status;
	}
	out = optind;
	status = 1;
	length = ptb_read_length(options.erasesize);
	image = (unsigned char *)malloc(length);
	if (image == NULL) {
		ptbtool_no_memory();
	} else if (assign_begin(&given, image) == 0) {
		memset(image, (int)options.fill, length);
		for (size_t f = 0; f < env_field_count; f++)
			env_clear(image, &env_fields[f]);
		if (make_assign_all(&given, &options, argc - out - 1, argv + out + 1) == 0 &&
		    file_replace(argv[out], image, length) == 0)
			status = 0;
		assign_end(&given);
	}
	free(image);
	free(options.fields);
	return status;
}
