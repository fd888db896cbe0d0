/* Looks a parameter key up in the PTB image and renders its value. */
#include "ptb/ptb_env.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum env_kind {
	ENV_TEXT,	/* NUL-terminated text */
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
	value = env_copy_text(image, field->offset);
	free(image);
	return value;
}
