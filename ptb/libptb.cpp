/* libptb's calls (include/ptb.h) on the reader's core: a handle is one read
 * of the PTB, looked up without a lock or a static buffer. */
#include "include/ptb.h"
#include "ptb/env_layout.h"
#include "ptb/env_render.h"
#include "ptb/ptb_block.h"
#include "ptb/ptb_env.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

struct ptb {
	struct ptb_block block;	/* image: PTB_MIN_READ bytes */
	unsigned long erasesize;
};

static enum ptb_result ptb_fail(enum ptb_result result, int error)
{
	errno = error;
	return result;
}

static enum ptb_result ptb_step_result(enum ptb_step step)
{
	switch (step) {
	case PTB_STEP_OPEN:
		return PTB_ERR_OPEN;
	case PTB_STEP_INFO:
		return PTB_ERR_NOT_MTD;
	case PTB_STEP_NO_GOOD:
		return ptb_fail(PTB_ERR_NO_GOOD_BLOCK, ENXIO);
	case PTB_STEP_BADBLOCK:
		return PTB_ERR_READ;
	case PTB_STEP_READ:
		return errno == EBADMSG ? PTB_ERR_ECC : PTB_ERR_READ;
	case PTB_STEP_DONE:
		break;
	}
	return PTB_OK;
}

enum ptb_result ptb_open(struct ptb **ptb, const char *device)
{
	struct mtd_info_user info = {};
	struct ptb *handle;
	enum ptb_step step;
	unsigned char *image;

	if (ptb == NULL)
		return ptb_fail(PTB_ERR_INVALID, EINVAL);
	*ptb = NULL;
	handle = (struct ptb *)malloc(sizeof(*handle));
	if (handle == NULL)
		return PTB_ERR_READ;
	step = ptb_device_read(device != NULL ? device : PTB_DEFAULT_DEVICE, &info, &handle->block);
	if (step != PTB_STEP_DONE) {
		enum ptb_result result = ptb_step_result(step);
		int error = errno;

		free(handle);
		return ptb_fail(result, error);
	}
	/* Every value lies below PTB_MIN_READ: a large erase block is not kept whole. */
	image = (unsigned char *)realloc(handle->block.image, PTB_MIN_READ);
	if (image != NULL) {
		handle->block.image = image;
		handle->block.length = PTB_MIN_READ;
	}
	handle->erasesize = info.erasesize;
	*ptb = handle;
	return PTB_OK;
}

enum ptb_result ptb_open_image(struct ptb **ptb, const void *image, size_t length)
{
	struct ptb *handle;
	size_t kept = length < PTB_MIN_READ ? length : PTB_MIN_READ;

	if (ptb == NULL || (image == NULL && length > 0))
		return ptb_fail(PTB_ERR_INVALID, EINVAL);
	*ptb = NULL;
	handle = (struct ptb *)calloc(1, sizeof(*handle));
	if (handle != NULL)
		handle->block.image = (unsigned char *)malloc(PTB_MIN_READ);
	if (handle == NULL || handle->block.image == NULL) {
		free(handle);
		return ptb_fail(PTB_ERR_READ, ENOMEM);
	}
	if (kept > 0)
		memcpy(handle->block.image, image, kept);
	memset(handle->block.image + kept, 0xFF, PTB_MIN_READ - kept);
	handle->block.length = PTB_MIN_READ;
	*ptb = handle;
	return PTB_OK;
}

void ptb_close(struct ptb *ptb)
{
	if (ptb != NULL)
		free(ptb->block.image);
	free(ptb);
}

/* A text's flaw is in the bytes shown; a raw field's in the bytes stored. */
static enum ptb_result ptb_judged(const struct env_field *field, const unsigned char *image, const char *value, size_t length)
{
	bool text = field->kind == ENV_TEXT || field->kind == ENV_LONG_TEXT;
	enum env_flaw flaw = text ? env_flaw(field, (const unsigned char *)value, length)
				  : env_flaw(field, image + field->offset, env_room(field));

	return flaw == ENV_SOUND ? PTB_OK : PTB_FLAWED;
}

enum ptb_result ptb_get(const struct ptb *ptb, const char *key, char *value, size_t size, size_t *length)
{
	char rendered[ENV_VALUE_MAX + 1];
	const struct env_field *field;
	size_t needed;

	if (ptb == NULL || key == NULL || (value == NULL && size > 0))
		return ptb_fail(PTB_ERR_INVALID, EINVAL);
	field = env_find(key);
	if (field == NULL)
		return ptb_fail(PTB_ERR_UNKNOWN_KEY, ENOENT);
	if (!env_format(field, ptb->block.image, rendered))
		return ptb_fail(PTB_ERR_NO_VALUE, ENODATA);
	needed = strlen(rendered);
	if (length != NULL)
		*length = needed;
	if (needed >= size) {
		if (size > 0)
			value[0] = '\0';
		return ptb_fail(PTB_ERR_SHORT_BUFFER, ERANGE);
	}
	memcpy(value, rendered, needed + 1);
	return ptb_judged(field, ptb->block.image, rendered, needed);
}

const char *ptb_key(size_t index)
{
	return index < env_field_count ? env_fields[index].key : NULL;
}

unsigned long long ptb_offset(const struct ptb *ptb)
{
	return ptb->block.offset;
}

unsigned long ptb_erasesize(const struct ptb *ptb)
{
	return ptb->erasesize;
}

enum ptb_verdict ptb_ecc_verdict(const struct ptb *ptb)
{
	const struct ptb_ecc *ecc = &ptb->block.ecc;

	if (!ecc->counted)
		return PTB_ECC_UNCOUNTED;
	if (ecc->failed > 0)
		return PTB_ECC_FAILED_ELSEWHERE;
	return ecc->corrected > 0 ? PTB_ECC_CORRECTED : PTB_ECC_CLEAN;
}

unsigned ptb_ecc_corrected(const struct ptb *ptb)
{
	return ptb->block.ecc.corrected;
}

unsigned ptb_ecc_failed(const struct ptb *ptb)
{
	return ptb->block.ecc.failed;
}
