/* Writes parameter values into a PTB image, refusing any value that ptbenv
 * would not print back exactly as given. */
#include "ptb/env_put.h"
#include "ptb/env_render.h"
#include "ptb/ptb_env.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static char env_why[160];

__attribute__((format(printf, 2, 3)))
static const char *env_refuse(const struct env_field *field, const char *reason, ...)
{
	va_list args;
	/* Keys are short words: the key and a blank always fit. */
	size_t used = (size_t)snprintf(env_why, sizeof(env_why), "%s ", field->key);

	va_start(args, reason);
	vsnprintf(env_why + used, sizeof(env_why) - used, reason, args); // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(args);
	return env_why;
}

/* The text and its terminator within the room, so nothing runs on; never a
 * 0xFF byte, which a reader can't tell from erased flash. */
static const char *env_put_text(unsigned char *image, const struct env_field *field,
				const char *value, size_t length)
{
	size_t most = env_room(field) - 1;

	if (field->kind == ENV_LONG_TEXT && (length < ENV_VALUE_MIN_LEN || length > most)) {
		if (most == ENV_VALUE_MIN_LEN)
			return env_refuse(field, "must be exactly %zu bytes", most);
		return env_refuse(field, "must be %zu to %zu bytes", ENV_VALUE_MIN_LEN, most);
	}
	if (length > most)
		return env_refuse(field, "holds at most %zu bytes", most);
	if (env_flaw(field, (const unsigned char *)value, length) != ENV_SOUND)
		return env_refuse(field, "holds a 0xFF byte, which reads as erased flash");
	memcpy(image + field->offset, value, length);
	image[field->offset + length] = '\0';
	return NULL;
}

int env_hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

/* XX:XX:XX:XX:XX:XX in either case; ptbenv prints it back in upper case. */
static const char *env_put_mac(unsigned char *image, const struct env_field *field,
			       const char *value, size_t length)
{
	unsigned char mac[ENV_MAC_SIZE];

	if (length != 3 * ENV_MAC_SIZE - 1)
		return env_refuse(field, "must be six hexadecimal bytes as XX:XX:XX:XX:XX:XX");
	for (size_t i = 0; i < ENV_MAC_SIZE; i++) {
		int high = env_hex_digit(value[3 * i]);
		int low = env_hex_digit(value[3 * i + 1]);

		if (high < 0 || low < 0 || (i + 1 < ENV_MAC_SIZE && value[3 * i + 2] != ':'))
			return env_refuse(field, "must be six hexadecimal bytes as XX:XX:XX:XX:XX:XX");
		mac[i] = (unsigned char)(high << 4 | low);
	}
	switch (env_flaw(field, mac, ENV_MAC_SIZE)) {
	case ENV_FLAW_ERASED:
		return env_refuse(field, "is erased flash (all 0xFF), not an address");
	case ENV_FLAW_ZERO:
		return env_refuse(field, "is all zero, not an address");
	case ENV_FLAW_MULTICAST:
		return env_refuse(field, "is a multicast address (first byte odd), not a device's own");
	case ENV_SOUND:
		break;
	}
	memcpy(image + field->offset, mac, ENV_MAC_SIZE);
	return NULL;
}

/* ptbenv prints the byte plus '0', modulo 256, and the character of code 0
 * as an empty value: so any one byte, or none, can be stored, but for the
 * one that would be stored as erased flash. */
static const char *env_put_digit(unsigned char *image, const struct env_field *field,
				 const char *value, size_t length)
{
	unsigned char byte = (unsigned char)((length == 1 ? value[0] : '\0') - '0');

	if (length > 1)
		return env_refuse(field, "must be one byte or empty");
	if (env_flaw(field, &byte, ENV_DIGIT_SIZE) != ENV_SOUND)
		return env_refuse(field, "'%c' would be stored as 0xFF, which reads as erased flash", value[0]);
	image[field->offset] = byte;
	return NULL;
}

const char *env_put(unsigned char *image, const struct env_field *field,
		    const char *value, size_t length)
{
	if (memchr(value, '\0', length) != NULL)
		return env_refuse(field, "holds a NUL byte");
	if (memchr(value, '\n', length) != NULL)
		return env_refuse(field, "holds a newline");
	if (memchr(value, '\r', length) != NULL)
		return env_refuse(field, "holds a carriage return");
	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		return env_put_text(image, field, value, length);
	case ENV_MAC:
		return env_put_mac(image, field, value, length);
	case ENV_DIGIT:
		return env_put_digit(image, field, value, length);
	case ENV_NO_VALUE:
		break;
	}
	return env_refuse(field, "has no field in the PTB");
}

void env_clear(unsigned char *image, const struct env_field *field)
{
	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		image[field->offset] = '\0';
		break;
	case ENV_MAC:
		memset(image + field->offset, 0, ENV_MAC_SIZE);
		break;
	case ENV_DIGIT:
		env_put_digit(image, field, "", 0);
		break;
	case ENV_NO_VALUE:
		break;
	}
}
