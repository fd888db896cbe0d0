/* libptb: the device parameters kept in the PTB, the first good erase block
 * of the parameter partition, for software running on the device. A handle
 * holds one read of the PTB and nothing else: no lock, no global state, so
 * threads may share one or each open their own. Every value is what
 * `ptbenv KEY` prints for it. */
#ifndef PTB_H
#define PTB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The partition ptb_open reads when it is given no path. */
#define PTB_DEFAULT_DEVICE "/dev/mtd2"

struct ptb;

/* What a call returns; each failure sets errno as well. */
enum ptb_result {
	PTB_OK = 0,
	PTB_FLAWED = 1,		/* the value is copied, but no factory writes it:
				   erased flash (0xFF) in it, or an all-zero or multicast MAC address */
	PTB_ERR_UNKNOWN_KEY = -1,	/* no such key (ENOENT) */
	PTB_ERR_NO_VALUE = -2,	/* the key holds nothing to show (ENODATA) */
	PTB_ERR_SHORT_BUFFER = -3,	/* the value and its NUL don't fit; *length tells its length (ERANGE) */
	PTB_ERR_OPEN = -4,	/* the device would not open (errno: why) */
	PTB_ERR_NOT_MTD = -5,	/* the device is no MTD partition (errno: MEMGETINFO's) */
	PTB_ERR_NO_GOOD_BLOCK = -6,	/* every erase block of the partition is bad (ENXIO) */
	PTB_ERR_READ = -7,	/* the bad-block query, the read or the allocation failed (errno: why) */
	PTB_ERR_ECC = -8,	/* the ECC could not correct the values' bytes, read twice (EBADMSG) */
	PTB_ERR_INVALID = -9,	/* a null handle, key or buffer (EINVAL) */
};

/* What the flash driver's ECC counters told of the read. */
enum ptb_verdict {
	PTB_ECC_UNCOUNTED = 0,	/* an image, or a driver without the counters */
	PTB_ECC_CLEAN = 1,
	PTB_ECC_CORRECTED = 2,	/* bitflips corrected: the block is wearing */
	PTB_ECC_FAILED_ELSEWHERE = 3,	/* uncorrectable where no value lies; the values read clean */
};

/* Reads the PTB from the MTD partition at device (NULL: PTB_DEFAULT_DEVICE)
 * and sets *ptb to a new handle holding it. Returns PTB_OK or a failure. */
enum ptb_result ptb_open(struct ptb **ptb, const char *device);

/* Sets *ptb to a new handle holding a copy of image, length bytes from the
 * PTB's start (a dump's first good block); bytes past its end read as erased. */
enum ptb_result ptb_open_image(struct ptb **ptb, const void *image, size_t length);

/* Frees the handle; NULL is ignored. */
void ptb_close(struct ptb *ptb);

/* Copies key's value and its NUL into value, size bytes, and sets *length
 * (unless length is NULL) to the value's length without the NUL, also when
 * the buffer is too short. Returns PTB_OK, PTB_FLAWED or a failure. */
enum ptb_result ptb_get(const struct ptb *ptb, const char *key, char *value, size_t size, size_t *length);

/* The keys in ptbenv's lookup order: the index-th, or NULL past the last. */
const char *ptb_key(size_t index);

/* Where the PTB lies: the offset of its block in the partition, and the
 * partition's erase size (0 for an image). */
unsigned long long ptb_offset(const struct ptb *ptb);
unsigned long ptb_erasesize(const struct ptb *ptb);

/* The ECC's verdict on the read, and the counts it comes from: the bitflips
 * corrected and the ECC steps that failed. */
enum ptb_verdict ptb_ecc_verdict(const struct ptb *ptb);
unsigned ptb_ecc_corrected(const struct ptb *ptb);
unsigned ptb_ecc_failed(const struct ptb *ptb);

#ifdef __cplusplus
}
#endif

#endif
