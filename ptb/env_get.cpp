/* Looks a parameter key up in the PTB image and renders its value. */
#include "ptb/ptb_env.h"
#include "ptb/env_layout.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The last byte is never written, so a copy that meets no NUL still ends. */
static char env_value[ENV_VALUE_MAX + 1];

/* Text runs on past its field's room up to the first NUL, at most ENV_VALUE_MAX bytes. */
static const char *env_copy_text(const unsigned char *image, size_t offset)
{
	strncpy(env_value, (const char *)image + offset, ENV_VALUE_MAX);
	return env_value;
}

static const char *env_format_mac(const unsigned char *mac)
{
	snprintf(env_value, ENV_VALUE_MAX, "%02X:%02X:%02X:%02X:%02X:%02X",
		 mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	return env_value;
}

/* The byte plus '0', wrapping at 256: 208 gives an empty value, not a null one. */
static const char *env_format_digit(unsigned char byte)
{
	env_value[0] = (char)(unsigned char)(byte + '0');
	env_value[1] = '\0';
	return env_value;
}

static const char *env_copy_long_text(const unsigned char *image, size_t offset)
{
	env_copy_text(image, offset);
	return strlen(env_value) >= ENV_VALUE_MIN_LEN ? env_value : NULL;
}

const char *env_render(const struct env_field *field, const unsigned char *image)
{
	switch (field->kind) {
	case ENV_TEXT:
		return env_copy_text(image, field->offset);
	case ENV_MAC:
		return env_format_mac(image + field->offset);
	case ENV_LONG_TEXT:
		return env_copy_long_text(image, field->offset);
	case ENV_DIGIT:
		return env_format_digit(image[field->offset]);
	case ENV_NO_VALUE:
		break;
	}
	return NULL;
}

const char *env_get(const char *key)
{
	unsigned char *image;
	const struct env_field *field;
	const char *value;

	if (key == NULL) {
		puts("\n =====get env is NULL. ==== ");
		return NULL;
	}
	if (ptb_read(&image) < 0) {
		puts("\n ===== zarn read env failed.");
		return NULL;
	}
	field = env_find(key);
	if (field == NULL) {
		free(image);
		printf("\n====[%s] env not supported. \n", key);
		return NULL;
	}
	value = env_render(field, image);
	free(image);
	return value;
}
