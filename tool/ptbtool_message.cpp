/* ptbtool's voice: every failure worded once, "ptbtool: " first and the
 * system's reason last, and what the user typed quoted back. */
#include "tool/ptbtool.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

int ptbtool_error(int error, const char *format, ...)
{
	va_list args;

	fputs("ptbtool: ", stderr);
	va_start(args, format);
	vfprintf(stderr, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(args);
	if (error != 0)
		fprintf(stderr, ": %s", file_error(error));
	fputc('\n', stderr);
	return -1;
}

int ptbtool_no_memory(void)
{
	return ptbtool_error(0, "%s", strerror(ENOMEM));
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
