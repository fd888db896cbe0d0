/* mkptb: writes a PTB image holding the given parameter values, for tests,
 * the bundled sample and trying the tool on a PC.
 *
 *   mkptb [--fill BYTE] [--length N] [--fields FILE] OUT [key=value ...]
 *
 * The image is N bytes (default 40960) of BYTE (default 0); each value goes to
 * its key's field. FILE holds key=value lines; '#' starts a comment line. */
#include "ptb_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int usage(void)
{
	fprintf(stderr, "usage: mkptb [--fill BYTE] [--length N] [--fields FILE] OUT [key=value ...]\n");
	return 2;
}

static bool put_assignment(ptb_bytes &image, const std::string &line)
{
	size_t equals = line.find('=');

	if (equals == std::string::npos) {
		fprintf(stderr, "mkptb: not key=value: %s\n", line.c_str());
		return false;
	}
	std::string key = line.substr(0, equals);
	for (size_t i = 0; i < ptb_field_count; i++)
		if (key == ptb_field_places[i].key) {
			if (ptb_put_value(image, key, line.substr(equals + 1)))
				return true;
			fprintf(stderr, "mkptb: bad value for %s\n", key.c_str());
			return false;
		}
	fprintf(stderr, "mkptb: no such key: %s\n", key.c_str());
	return false;
}

static bool put_fields_file(ptb_bytes &image, const char *path)
{
	FILE *file = fopen(path, "r");
	char line[4096];
	bool ok = file != NULL;

	if (file == NULL)
		perror(path);
	while (ok && fgets(line, sizeof(line), file)) {
		line[strcspn(line, "\n")] = '\0';
		if (line[0] != '\0' && line[0] != '#')
			ok = put_assignment(image, line);
	}
	if (file != NULL)
		fclose(file);
	return ok;
}

int main(int argc, char **argv)
{
	unsigned long fill = 0, length = 40960;
	const char *fields = NULL;
	int i = 1;

	for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
		if (strcmp(argv[i], "--fill") == 0)
			fill = strtoul(argv[i + 1], NULL, 0);
		else if (strcmp(argv[i], "--length") == 0)
			length = strtoul(argv[i + 1], NULL, 0);
		else if (strcmp(argv[i], "--fields") == 0)
			fields = argv[i + 1];
		else
			return usage();
	}
	if (i >= argc || fill > 255 || length < 4096)
		return usage();
	ptb_bytes image = ptb_blank(length, (unsigned char)fill);
	const char *out = argv[i++];
	if (fields != NULL && !put_fields_file(image, fields))
		return 1;
	for (; i < argc; i++)
		if (!put_assignment(image, argv[i]))
			return 1;
	if (!ptb_write_file(out, image)) {
		perror(out);
		return 1;
	}
	return 0;
}
