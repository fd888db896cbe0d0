/* A field's value as ptbenv prints it, and what a factory never stores. */
#ifndef ENV_RENDER_H
#define ENV_RENDER_H

#include "ptb/env_layout.h"

#include <stddef.h>

/* Renders the field out of a PTB image of at least PTB_MIN_READ bytes into
 * value, ENV_VALUE_MAX + 1 bytes, as ptbenv prints it; false when there is
 * none to show. */
bool env_format(const struct env_field *field, const unsigned char *image, char *value);

/* What no factory stores, and make refuses: erased flash (a 0xFF byte in
 * text, an all-0xFF address, a 0xFF digit), an all-zero or a multicast
 * address. */
enum env_flaw { ENV_SOUND, ENV_FLAW_ERASED, ENV_FLAW_ZERO, ENV_FLAW_MULTICAST };

/* The flaw of length bytes as the field stores them: the text's bytes, the
 * address's six, the digit's one. */
enum env_flaw env_flaw(const struct env_field *field, const unsigned char *bytes, size_t length);

#endif
