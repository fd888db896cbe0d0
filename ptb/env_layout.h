/* Where each parameter lies in the PTB image and how it is stored: the one
 * table that ptbenv and libptb read with and ptbtool writes and shows with
 * (env_layout.cpp); rendering a value (env_render.cpp, env_render in
 * ptb_env.cpp) and storing one (env_put.cpp). */
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

/* Bytes the field may fill: a raw field's size, or for text the distance to
 * the next field (the layout is packed), terminator included; 0 for no field. */
size_t env_room(const struct env_field *field);

/* Where the bytes any value can come from end, counted from the PTB's start:
 * the last raw field, or the last text's run-on of ENV_VALUE_MAX bytes. */
size_t env_values_end(void);

/* Renders the field out of a PTB image of at least PTB_MIN_READ bytes into
 * value, ENV_VALUE_MAX + 1 bytes, as ptbenv prints it; false when there is
 * none to show. */
bool env_format(const struct env_field *field, const unsigned char *image, char *value);

/* env_format into a static buffer, as env_get does; NULL for none. */
const char *env_render(const struct env_field *field, const unsigned char *image);

/* What no factory stores, and make refuses: erased flash (a 0xFF byte in
 * text, an all-0xFF address, a 0xFF digit), an all-zero or a multicast
 * address. */
enum env_flaw { ENV_SOUND, ENV_FLAW_ERASED, ENV_FLAW_ZERO, ENV_FLAW_MULTICAST };

/* The flaw of length bytes as the field stores them: the text's bytes, the
 * address's six, the digit's one. */
enum env_flaw env_flaw(const struct env_field *field, const unsigned char *bytes, size_t length);

/* Stores value (length bytes) into the field so that env_render gives exactly
 * it back. Returns NULL, or why it can't, naming the key, in a static buffer
 * that stays valid until the next call. */
const char *env_put(unsigned char *image, const struct env_field *field,
		    const char *value, size_t length);

/* Stores the field's empty value: text reads back empty, the MAC address as
 * all zeros, the auth-check flag as the empty character. */
void env_clear(unsigned char *image, const struct env_field *field);

#endif
