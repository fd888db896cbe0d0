/* ptbtool: dispatches to the make and show commands. */
#include "tool/ptbtool.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

/* The installed binary's version, for what(1) and strings(1). */
__attribute__((used, retain)) static const char version[] = "@(#)ptbtool " PTBENV_VERSION;

int ptbtool_usage(FILE *to)
{
	fputs("usage: ptbtool make [--erasesize N] [--fill BYTE] [--fields FILE] OUT [KEY=VALUE ...]\n"
	      "       ptbtool show [--erasesize N] [--size N] [--bad LIST] IMAGE [KEY ...]\n", to);
	return to == stdout ? 0 : 2;
}

int ptbtool_option(int argc, char **argv, int *i)
{
	if (*i < argc && strcmp(argv[*i], "--help") == 0)
		return ptbtool_usage(stdout);
	if (*i < argc && strcmp(argv[*i], "--") == 0)
		++*i;
	else if (*i < argc && argv[*i][0] == '-')
		return *i + 1 < argc ? PTBTOOL_OPTION : ptbtool_usage(stderr);
	return *i < argc ? PTBTOOL_OPERANDS : ptbtool_usage(stderr);
}

int ptbtool_number(const char *option, const char *text, unsigned long long least,
		   unsigned long long most, unsigned long long *value)
{
	char *end;

	errno = 0;
	*value = strtoull(text, &end, 0);
	if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 ||
	    *value < least || *value > most) {
		fprintf(stderr, "ptbtool: %s must be a number from %llu to %llu, not '%s'\n",
			option, least, most, text);
		return -1;
	}
	return 0;
}

int main(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "make") == 0)
		return ptbtool_make(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "show") == 0)
		return ptbtool_show(argc - 1, argv + 1);
	if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
		return ptbtool_usage(stdout);
	return ptbtool_usage(stderr);
}
