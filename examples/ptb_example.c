/* Prints each key named as ptbenv prints it, read once through libptb. */
#include <ptb.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
	struct ptb *ptb;
	char value[1025];
	int i, status = 0;

	if (ptb_open(&ptb, NULL) != PTB_OK) {
		perror("ptb_open");
		return 1;
	}
	for (i = 1; i < argc; i++) {
		enum ptb_result result = ptb_get(ptb, argv[i], value, sizeof(value), NULL);

		if (result >= 0)
			printf("%s:%s\n", argv[i], value);
		else if (result != PTB_ERR_NO_VALUE)
			status = 2;
	}
	ptb_close(ptb);
	return status;
}
