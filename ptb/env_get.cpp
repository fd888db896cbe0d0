/* Looks a parameter key up in the PTB image and renders its value. */
#include "ptb/ptb_env.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum env_kind {
	ENV_TEXT,	/* NUL-terminated text */
	ENV_MAC,	/* six raw bytes, printed as a MAC address */
	ENV_NO_VALUE,	/* recognised, but holds nothing to show */
	ENV_LONG_TEXT,	/* text shown only from ENV_VALUE_MIN_LEN characters on */
	ENV_DIGIT,	/* one byte, shown as the character that many places from '0' */
};

struct env_field {
	const char *key;
	size_t offset;
	enum env_kind kind;
};

/* Tried in this order; the first exact match decides. */
static const struct env_field env_fields[] = {
	{ "chipinfo", 0xC81, ENV_TEXT },
	{ "lorainfo", 0xE03, ENV_TEXT },
	{ "wifiinfo", 0xE13, ENV_TEXT },
	{ "product", 0xE1B, ENV_TEXT },
	{ "sninfo", 0xE5B, ENV_TEXT },
	{ "deveui", 0xE7B, ENV_TEXT },
	{ "appeui", 0xE8C, ENV_TEXT },
	{ "devaddr", 0xE9D, ENV_TEXT },
	{ "appkey", 0xEA6, ENV_TEXT },
	{ "appskey", 0xEC7, ENV_TEXT },
	{ "nwkskey", 0xEE8, ENV_TEXT },
	{ "cmdline", 0xCC1, ENV_TEXT },
	{ "ethaddr", 0x7EC, ENV_MAC },
	{ "qvhardreset", 0, ENV_NO_VALUE },
	{ "qvkey", 0xDC1, ENV_LONG_TEXT },
	{ "qvauthcheck", 0xF09, ENV_DIGIT },
	{ "qvran", 0xDE2, ENV_LONG_TEXT },
};

/* The last byte is never written, so a copy that meets no NUL still ends. */
static char env_value[ENV_VALUE_MAX + 1];

static const struct env_field *env_find(const char *key)
{
	for (size_t i = 0; i < sizeof(env_fields) / sizeof(env_fields[0]); i++)
		if (strcmp(key, env_fields[i].key) == 0)
			return &env_fields[i];
	return NULL;
}

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

/* Reads the field out of the image; the caller frees the image afterwards. */
static const char *env_render(const struct env_field *field, const unsigned char *image)
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
