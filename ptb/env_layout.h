/* Where each parameter lies in the PTB image and how it is stored: the one
 * table that ptbenv and libptb read with and ptbtool writes and shows with.
 * Rendering a value is env_render.h's, storing one env_put.h's. */
#ifndef ENV_LAYOUT_H
#define ENV_LAYOUT_H

#include <stddef.h>

enum env_kind {
	ENV_TEXT,	/* NUL-terminated text */
	ENV_MAC,	/* six raw bytes, printed as a MAC address */
	ENV_NO_VALUE,	/* recognised, but holds nothing to show */
	ENV_LONG_TEXT,	/* text shown only from ENV_VALUE_MIN_LEN characters on */
	ENV_DIGIT,	/* one byte, shown as the character that many places from '0' */
};

/* Bytes a raw field holds; a text field's room runs to the next field. */
constexpr size_t ENV_MAC_SIZE = 6;
constexpr size_t ENV_DIGIT_SIZE = 1;

struct env_field {
	const char *key;
	size_t offset;
	enum env_kind kind;
};

/* In lookup order: the first exact match decides. */
extern const struct env_field env_fields[];
extern const size_t env_field_count;

const struct env_field *env_find(const char *key);

/* env_find for a key of length bytes that need not end in a NUL. */
const struct env_field *env_find_length(const char *key, size_t length);

/* Bytes the field may fill: a raw field's size, or for text the distance to
 * the next field (the layout is packed), terminator included; 0 for no field. */
size_t env_room(const struct env_field *field);

/* The offset where the bytes any value can come from end, and so the length
 * from the PTB's start that holds them all: the last raw field, or the last
 * text's run-on of ENV_VALUE_MAX bytes. */
size_t env_values_end(void);

#endif
