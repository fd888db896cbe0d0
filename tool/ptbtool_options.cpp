/* What every ptbtool command shares: the usage, reading options and their
 * numbers. */
#include "ptb/env_put.h"
#include "tool/ptbtool.h"

#include <getopt.h>
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

void ptbtool_options_begin(void)
{
	/* 0, not 1: glibc's getopt then starts over entirely, "+" read afresh. */
	optind = 0;
	opterr = 0;
}

int ptbtool_option(int argc, char **argv, const struct option *table)
{
	return getopt_long(argc, argv, "+", table, NULL);
}

int ptbtool_option_usage(int option)
{
	return ptbtool_usage(option == PTBTOOL_HELP ? stdout : stderr);
}

enum { OPTION_BACKUP = PTBTOOL_HELP + 1 };

static const struct option backup_table[] = {
	{ "backup", required_argument, NULL, OPTION_BACKUP },
	PTBTOOL_HELP_OPTION,
	{},
};

bool ptbtool_backup_option(int argc, char **argv, const char **backup, int *status)
{
	int option;

	ptbtool_options_begin();
	while ((option = ptbtool_option(argc, argv, backup_table)) != -1) {
		if (option != OPTION_BACKUP) {
			*status = ptbtool_option_usage(option);
			return false;
		}
		*backup = optarg;
	}
	if (optind < argc)
		return true;
	*status = ptbtool_usage(stderr);
	return false;
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
	for (*end = digits; (digit = env_hex_digit(**end)) >= 0 && (unsigned)digit < base; ++*end) {
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
