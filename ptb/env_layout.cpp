/* The PTB's parameter fields: the key table and each field's room. */
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"

#include <string.h>

const struct env_field env_fields[] = {
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
const size_t env_field_count = sizeof(env_fields) / sizeof(env_fields[0]);

const struct env_field *env_find(const char *key)
{
	return env_find_length(key, strlen(key));
}

const struct env_field *env_find_length(const char *key, size_t length)
{
	for (size_t i = 0; i < env_field_count; i++)
		if (strlen(env_fields[i].key) == length && memcmp(env_fields[i].key, key, length) == 0)
			return &env_fields[i];
	return NULL;
}

size_t env_room(const struct env_field *field)
{
	size_t next = PTB_MIN_READ;

	switch (field->kind) {
	case ENV_MAC:
		return ENV_MAC_SIZE;
	case ENV_DIGIT:
		return ENV_DIGIT_SIZE;
	case ENV_NO_VALUE:
		return 0;
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		break;
	}
	for (size_t i = 0; i < env_field_count; i++)
		if (env_fields[i].kind != ENV_NO_VALUE && env_fields[i].offset > field->offset &&
		    env_fields[i].offset < next)
			next = env_fields[i].offset;
	return next - field->offset;
}

size_t env_values_end(void)
{
	size_t end = 0;

	for (size_t i = 0; i < env_field_count; i++) {
		const struct env_field *field = &env_fields[i];
		size_t reach = field->kind == ENV_TEXT || field->kind == ENV_LONG_TEXT ? ENV_VALUE_MAX : env_room(field);

		if (field->kind != ENV_NO_VALUE && field->offset + reach > end)
			end = field->offset + reach;
	}
	return end;
}
