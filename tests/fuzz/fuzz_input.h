/* What the fuzz targets share: taking the input apart byte by byte, and
 * failing so that libFuzzer keeps the input and the replay stops. */
#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <fcntl.h>
#include <unistd.h>

struct fuzz_input {
	const uint8_t *bytes;
	size_t left;
};

/* 0 once the input has run out, so every input is a whole one. */
inline uint8_t take_byte(fuzz_input &in)
{
	if (in.left == 0)
		return 0;
	in.left--;
	return *in.bytes++;
}

/* bytes (up to 8) big-endian. */
inline uint64_t take_number(fuzz_input &in, int bytes)
{
	uint64_t value = 0;
	for (int i = 0; i < bytes; i++)
		value = value << 8 | take_byte(in);
	return value;
}

/* The input's rest, up to its first NUL, which is taken too. */
inline std::string take_text(fuzz_input &in)
{
	std::string text;
	for (uint8_t c; in.left > 0 && (c = take_byte(in)) != 0;)
		text += (char)c;
	return text;
}

/* Standard output and error, once closed by libFuzzer's -close_fd_mask, go
 * to /dev/null, so that no file a target opens takes their numbers and gets
 * the messages. Once per process. */
inline void fuzz_standard_fds()
{
	static bool done;
	if (done)
		return;
	done = true;
	int null = open("/dev/null", O_WRONLY);
	for (int fd = 1; fd <= 2 && null >= 0; fd++)
		if (fd != null && fcntl(fd, F_GETFD) < 0)
			dup2(null, fd);
	if (null > 2)
		close(null);
}

/* libFuzzer's -close_fd_mask closes standard error, but not the sanitizers' report stream. */
extern "C" __attribute__((weak)) void __sanitizer_report_error_summary(const char *summary);

[[noreturn]] inline void fuzz_fail(const char *line)
{
	fprintf(stderr, "%s\n", line);
	if (__sanitizer_report_error_summary != NULL)
		__sanitizer_report_error_summary(line);
	abort();
}

#endif
