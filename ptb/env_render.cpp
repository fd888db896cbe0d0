/* A field's value as ptbenv prints it, and what a factory never stores. */
#include "ptb/env_render.h"
#include "ptb/ptb_env.h"

#include <stdio.h>
#include <string.h>

/* The byte plus '0', wrapping at 256: 208 gives an empty value, not a null one. */
static void env_format_digit(unsigned char byte, char *value)
{
	value[0] = (char)(unsigned char)(byte + '0');
	value[1] = '\0';
}

bool env_format(const struct env_field *field, const unsigned char *image, char *value)
{
	const unsigned char *at = image + field->offset;

	value[ENV_VALUE_MAX] = '\0';
	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		/* Text runs on past its field's room up to the first NUL. */
		strncpy(value, (const char *)at, ENV_VALUE_MAX);
		return field->kind == ENV_TEXT || strlen(value) >= ENV_VALUE_MIN_LEN;
	case ENV_MAC:
		snprintf(value, ENV_VALUE_MAX, "%02X:%02X:%02X:%02X:%02X:%02X", at[0], at[1], at[2], at[3], at[4],
			 at[5]);
		return true;
	case ENV_DIGIT:
		env_format_digit(at[0], value);
		return true;
	case ENV_NO_VALUE:
		break;
	}
	return false;
}

enum env_flaw env_flaw(const struct env_field *field, const unsigned char *bytes, size_t length)
{
	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		return memchr(bytes, 0xFF, length) != NULL ? ENV_FLAW_ERASED : ENV_SOUND;
	case ENV_MAC:
		if (memcmp(bytes, "\xFF\xFF\xFF\xFF\xFF\xFF", ENV_MAC_SIZE) == 0)
			return ENV_FLAW_ERASED;
		if (memcmp(bytes, "\0\0\0\0\0\0", ENV_MAC_SIZE) == 0)
			return ENV_FLAW_ZERO;
		/* The group bit: an address many devices answer to, never one device's own. */
		return bytes[0] & 1 ? ENV_FLAW_MULTICAST : ENV_SOUND;
	case ENV_DIGIT:
		return bytes[0] == 0xFF ? ENV_FLAW_ERASED : ENV_SOUND;
	case ENV_NO_VALUE:
		break;
	}
	return ENV_SOUND;
}
