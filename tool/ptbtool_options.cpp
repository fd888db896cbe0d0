/* What every ptbtool command shares: the usage, stepping through options,
 * their numbers, and quoting what the user typed back in messages. */
#include "tool/ptbtool.h"

#include <string.h>

int ptbtool_usage(FILE *to)
{
	fputs("usage: ptbtool make [--erasesize N] [--fill BYTE] [--fields FILE]... OUT [KEY=VALUE ...]\n"
	      "       ptbtool show [--erasesize N] [--size N] [--bad LIST] DUMP [KEY ...]\n"
	      "       ptbtool show DEVICE [KEY ...]\n"
	      "       ptbtool set [--backup FILE] DEVICE [KEY=VALUE ...]\n"
	      "       ptbtool write [--backup FILE] DEVICE IMAGE\n"
	      "       ptbtool recover DEVICE\n", to);
	return to == stdout ? 0 : 2;
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
		fprintf(stderr, "ptbtool: %s must be a number from %llu to %llu, not %s\n",
			option, least, most, ptbtool_quoted(text, strlen(text)));
		return -1;
	}
	return 0;
}

const char *ptbtool_plural(unsigned long count)
{
	return count == 1 ? "" : "s";
}

/* Room for the longest quoted text: every byte as \xHH, the quotes, "..." and the NUL. */
static const size_t QUOTED_MOST = 200;
static char quoted[4 * QUOTED_MOST + 6];

const char *ptbtool_quoted(const char *text, size_t length)
{
	static const char hex[] = "0123456789abcdef";
	char *at = quoted;

	*at++ = '\'';
	for (size_t i = 0; i < length && i < QUOTED_MOST; i++) {
		unsigned char c = (unsigned char)text[i];

		if (c == '\'' || c == '\\') {
			*at++ = '\\';
			*at++ = (char)c;
		} else if (c >= 0x20 && c < 0x7F) {
			*at++ = (char)c;
		} else {
			*at++ = '\\';
			*at++ = 'x';
			*at++ = hex[c >> 4];
			*at++ = hex[c & 15];
		}
	}
	*at++ = '\'';
	if (length > QUOTED_MOST)
		at = stpcpy(at, "...");
	*at = '\0';
	return quoted;
}
