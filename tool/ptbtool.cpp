/* ptbtool: dispatches to its commands. */
#include "tool/ptbtool.h"

#include <string.h>

/* The installed binary's version, for what(1) and strings(1). */
__attribute__((used, retain)) static const char version[] = "@(#)ptbtool " PTBENV_VERSION;

int main(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "make") == 0)
		return ptbtool_make(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "show") == 0)
		return ptbtool_show(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "set") == 0)
		return ptbtool_set(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "write") == 0)
		return ptbtool_write(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "recover") == 0)
		return ptbtool_recover(argc - 1, argv + 1);
	if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
		return ptbtool_usage(stdout);
	return ptbtool_usage(stderr);
}
