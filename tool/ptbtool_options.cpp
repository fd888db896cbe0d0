/* What every ptbtool command shares: the usage, stepping through options
 * and their numbers. */
#include "tool/ptbtool.h"

#include <string.h>

int ptbtool_usage(FILE *to)
{
	fputs("usage: ptbtool make [--erasesize N] [--fill BYTE] [--fields FILE]... OUT [KEY=VALUE ...]\n"
	      "       ptbtool show [--sh] [--erasesize N] [--size N] [--bad LIST] DUMP [KEY ...]\n"
	      "       ptbtool show [--sh] DEVICE [KEY ...]\n"
	      "       ptbtool get [--erasesize N] [--size N] [--bad LIST] DEVICE|DUMP KEY\n"
	      "       ptbtool export [--erasesize N] [--size N] [--bad LIST] DEVICE|DUMP DIR\n"
	      "       ptbtool set [--backup FILE] DEVICE [KEY=VALUE ...]\n"
	      "       ptbtool write [--backup FILE] DEVICE IMAGE\n"
	      "       ptbtool recover DEVICE\n"
	      "       ptbtool --version\n", to);
	return to == stdout ? 0 : PTBTOOL_USAGE;
}

int ptbtool_option(int argc, char **argv, int *i)
{
	if (*i < argc && strcmp(argv[*i], "--help") == 0)
		return ptbtool_usage(stdout);
	if (*i < argc && strcmp(argv[*i], "--") == 0)
		++*i;
	else if (*i < argc && argv[*i][0] == '-' && argv[*i][1] != '\0')
		return *i + 1 < argc ? PTBTOOL_OPTION : ptbtool_usage(stderr);
	return *i < argc ? PTBTOOL_OPERANDS : ptbtool_usage(stderr);
}

int ptbtool_backup_option(int argc, char **argv, int *i, const char **backup)
{
	int more;

	for (; (more = ptbtool_option(argc, argv, i)) == PTBTOOL_OPTION; *i += 2) {
		if (strcmp(argv[*i], "--backup") != 0)
			return ptbtool_usage(stderr);
		*backup = argv[*i + 1];
	}
	return more;
}

static int ptbtool_digit(char c, unsigned base)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (base == 16 && c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (base == 16 && c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

/* Decimal, or hexadecimal after 0x; a leading zero is still decimal, so
 * 010 is ten as anyone reads it, never eight. */
bool ptbtool_scan_number(const char *text, const char **end, unsigned long long *value)
{
	unsigned base = 10;
	unsigned long long number = 0;
	const char *digits = text;
	int digit;

	if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		base = 16;
		digits += 2;
	}
	for (*end = digits; (digit = ptbtool_digit(**end, base)) >= 0; ++*end) {
		if (number > (~0ULL - (unsigned)digit) / base)
			return false;
		number = number * base + (unsigned)digit;
	}
	*value = number;
	return *end > digits;
}

int ptbtool_number(const char *option, const char *text, unsigned long long least,
		   unsigned long long most, unsigned long long *value)
{
	const char *end;

	if (!ptbtool_scan_number(text, &end, value) || *end != '\0' || *value < least || *value > most) {
		return ptbtool_error(0, "%s must be a number from %llu to %llu, not %s", option, least, most,
				     ptbtool_quoted(text, strlen(text)));
	}
	return 0;
}
