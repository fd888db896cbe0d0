/* ptbtool: dispatches to its commands. */
#include "tool/ptbtool.h"

#include <stdio.h>
#include <string.h>

/* The installed binary's version, for what(1) and strings(1). */
__attribute__((used, retain)) static const char version[] = "@(#)ptbtool " PTBENV_VERSION;

int main(int argc, char **argv)
{
	const char *command = argc >= 2 ? argv[1] : "";

	if (strcmp(command, "make") == 0)
		return ptbtool_make(argc - 1, argv + 1);
	if (strcmp(command, "show") == 0)
		return ptbtool_show(argc - 1, argv + 1);
	if (strcmp(command, "set") == 0)
		return ptbtool_set(argc - 1, argv + 1);
	if (strcmp(command, "write") == 0)
		return ptbtool_write(argc - 1, argv + 1);
	if (strcmp(command, "recover") == 0)
		return ptbtool_recover(argc - 1, argv + 1);
	if (strcmp(command, "get") == 0)
		return ptbtool_get(argc - 1, argv + 1);
	if (strcmp(command, "export") == 0)
		return ptbtool_export(argc - 1, argv + 1);
	if (argc == 2 && strcmp(command, "--version") == 0)
		return puts("ptbtool " PTBENV_VERSION) == EOF || fflush(stdout) != 0;
	if (argc == 2 && (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0))
		return ptbtool_usage(stdout);
	return ptbtool_usage(stderr);
}
