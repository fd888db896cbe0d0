/* ptbenv: prints one device parameter from the PTB as "key:value". */
#include "ptb/ptb_env.h"

#include <stdio.h>

int main(int argc, char **argv)
{
	const char *value;

	/* Callers rely on a silent status 0 for any other argument count. */
	if (argc != 2)
		return 0;
	value = env_get(argv[1]);
	if (value != NULL)
		printf("%s:%s\n", argv[1], value);
	return 0;
}
