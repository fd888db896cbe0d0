/* Storing parameter values into a PTB image so that ptbenv prints them
 * back exactly as given. */
#ifndef ENV_PUT_H
#define ENV_PUT_H

#include "ptb/env_layout.h"

#include <stddef.h>

/* Stores value (length bytes) into the field so that env_render gives exactly
 * it back. Returns NULL, or why it can't, naming the key, in a static buffer
 * that stays valid until the next call. */
const char *env_put(unsigned char *image, const struct env_field *field,
		    const char *value, size_t length);

/* Stores the field's empty value: text reads back empty, the MAC address as
 * all zeros, the auth-check flag as the empty character. */
void env_clear(unsigned char *image, const struct env_field *field);

/* The value of a hexadecimal digit in either case, or -1 for any other character. */
int env_hex_digit(char c);

#endif
