/* ptbenv: prints one device parameter from the PTB as "key:value". */
#include "ptb/ptb_env.h"

#include <stdio.h>

/* Exit status when the value was read but its line could not be written out:
 * unlike the open failure's 1, the device was read and the value is lost. */
#define EXIT_LINE_LOST 2

/* The installed binary's version, for what(1) and strings(1). */
__attribute__((used, retain)) static const char version[] = "@(#)ptbenv " PTBENV_VERSION;

int main(int argc, char **argv)
{
	const char *value;

	/* Callers rely on a silent status 0 for any other argument count. */
	if (argc != 2)
		return 0;
	value = env_get(argv[1]);
	if (value == NULL)
		return 0;
	/* The line is the result: a full, closed or failing standard output
	 * must not pass for success. */
	if (printf("%s:%s\n", argv[1], value) < 0 || fflush(stdout) == EOF) {
		perror("write result");
		return EXIT_LINE_LOST;
	}
	return 0;
}
