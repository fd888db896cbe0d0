/* ptbtool: makes PTB images for the factory and shows them on a PC. */
#ifndef PTBTOOL_H
#define PTBTOOL_H

#include "ptb/ptb_block.h"
#include "ptb/ptb_write.h"

#include <getopt.h>
#include <mtd/mtd-user.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

/* Largest erase block taken, as large as any NAND's. */
constexpr unsigned long long PTBTOOL_ERASESIZE_MAX = 1ULL << 30;

/* Exit statuses: a refusal leaves the flash untouched, a wrong command line
 * too; a write that failed past its first erase or program may have changed it. */
enum { PTBTOOL_REFUSED = 1, PTBTOOL_USAGE = 2, PTBTOOL_CHANGED = 3 };

/* Says "ptbtool: " and the formatted message on standard error, then
 * ": " and error in words unless error is 0; returns -1. */
int ptbtool_error(int error, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Says that memory ran out, in the same words wherever it did; returns -1. */
int ptbtool_no_memory(void);

int ptbtool_make(int argc, char **argv);
int ptbtool_show(int argc, char **argv);
int ptbtool_set(int argc, char **argv);
int ptbtool_write(int argc, char **argv);
int ptbtool_recover(int argc, char **argv);
int ptbtool_get(int argc, char **argv);
int ptbtool_export(int argc, char **argv);

/* Prints the usage on to; returns the status to exit with: 0 on standard
 * output (asked for), PTBTOOL_USAGE otherwise. */
int ptbtool_usage(FILE *to);

/* What getopt_long gives for --help, which every command's table lists as
 * PTBTOOL_HELP_OPTION; a command's own options have values above it. */
enum { PTBTOOL_HELP = 256 };
#define PTBTOOL_HELP_OPTION { "help", no_argument, NULL, PTBTOOL_HELP }

/* Starts reading a command's options afresh, however many commands read
 * theirs before in this process. */
void ptbtool_options_begin(void);

/* The next option from table, its value in optarg, as getopt_long gives it:
 * '?' for an unknown one or one lacking its value, -1 once they end with
 * optind at the first operand. Options come only before the operands, "--"
 * ends them and a lone "-" is an operand; getopt_long's own messages are
 * left unsaid, the usage being the answer. */
int ptbtool_option(int argc, char **argv, const struct option *table);

/* The usage for an option a command stops at: --help's on standard output,
 * status 0; any other's on standard error, PTBTOOL_USAGE. */
int ptbtool_option_usage(int option);

/* Reads the options of the commands that write, --backup FILE alone, into
 * *backup; true with optind at the first operand, or false with *status the
 * exit status. */
bool ptbtool_backup_option(int argc, char **argv, const char **backup, int *status);

/* Reads a number, decimal or 0x hexadecimal, from text up to *end; false
 * when there are no digits or it overflows. */
bool ptbtool_scan_number(const char *text, const char **end, unsigned long long *value);

/* Parses text as option's value from least to most; returns 0, or -1 after
 * saying so on standard error. */
int ptbtool_number(const char *option, const char *text, unsigned long long least,
		   unsigned long long most, unsigned long long *value);

/* The ending of a noun counting count things: "" for one, "s" for more or none. */
const char *ptbtool_plural(unsigned long count);

/* text between single quotes, control and non-ASCII bytes as \xHH, so that
 * blanks and invisible bytes show in a message; long text is cut. In a
 * static buffer that the next call overwrites. */
const char *ptbtool_quoted(const char *text, size_t length);

/* A PTB image being given values, and where each key got its value, so
 * that a key given twice is refused naming both places. */
struct assignments {
	unsigned char *bytes;
	const char **given_in;	/* for each of env_fields: its fields file, "" for the command line */
	unsigned long *given_line;
};

/* Sets given up over the image bytes; returns 0, or -1 after saying why. */
int assign_begin(struct assignments *given, unsigned char *bytes);
void assign_end(struct assignments *given);

/* Stores one KEY=VALUE assignment of length bytes, from line of file or
 * from the command line when file is "", as env_put takes it; returns 0,
 * or -1 after saying why not, the image unchanged. */
int assign_one(struct assignments *given, const char *file, unsigned long line, const char *text, size_t length);

/* Every KEY=VALUE line of the fields file at path, up to the first refused. */
int assign_file(struct assignments *given, const char *path);

/* Replaces out, or the file a symbolic link named out points to, with
 * length bytes, whole or not at all; returns 0, or -1 after saying why. A
 * link is followed only where the kernel's protected_symlinks would follow
 * it. The file is 0600, or keeps the mode of a file the caller owned, less
 * group and other write. */
int file_replace(const char *out, const unsigned char *bytes, size_t length);

/* 0 when nothing stands at path, so that a backup can be made there; else
 * -1 after saying why not. Asked before the flash is touched, a write cut
 * short included. */
int file_name_free(const char *path);

/* Makes path a new file of length bytes, 0600, synced with its folder,
 * never replacing anything at that name; returns 0, or -1 after saying why. */
int file_create(const char *path, const unsigned char *bytes, size_t length);

/* Where the folder dir is, or is to be made, walked as file_replace walks
 * to its file, into path (size bytes) with no link in it; returns 0, or -1
 * after saying why not. */
int file_folder(const char *dir, char *path, size_t size);

/* Writes length bytes to fd whole, again where a signal cuts in; returns 0,
 * or -1 with errno set (EIO where the file takes no more). */
int file_write_all(int fd, const void *bytes, size_t length);

/* Reads length bytes from fd, from offset on or, when offset is -1, from
 * where it stands, again where a signal cuts in, until all are in or the
 * file ends; returns how many came, or -1 with errno set. Fewer than length
 * is a short read, which sets no errno. */
ssize_t file_read_all(int fd, void *bytes, size_t length, off_t offset);

/* Syncs the folder path lies in; returns 0, or -1 with errno set. */
int file_sync_folder(const char *path);

/* Opens a file the user named to read it, never waiting on a FIFO nothing
 * writes to; status filled. A FIFO or socket is left non-blocking until
 * file_await_stream. Returns the descriptor, or -1 with errno set. */
int file_open_named(const char *path, struct stat *status);

/* Waits a few seconds at most for something to write to a stream that
 * file_open_named opened, then makes it blocking; returns 0, or -1 with
 * errno set (ETIMEDOUT when nothing came). */
int file_await_stream(int fd);

/* error in words, ETIMEDOUT as file_await_stream means it; in a static
 * buffer that the next call overwrites. */
const char *file_error(int error);

struct dump_partition;
struct env_field;

/* Reads show's options, --sh only where sh is not NULL, into partition; true
 * with optind at the first operand, or false with *status the exit status. */
bool show_options(int argc, char **argv, struct dump_partition *partition, bool *sh, int *status);

/* Reads the PTB of a DEVICE or DUMP, path, once into image (PTB_MIN_READ
 * bytes); returns 0, or -1 after saying why not. */
int show_read(const char *path, struct dump_partition *partition, unsigned char *image);

/* One line on standard error where the field holds what no factory writes. */
void show_warn(const struct env_field *field, const unsigned char *image, const char *value);

struct ptb;

/* Copies key's value out of handle, read from image, into value
 * (ENV_VALUE_MAX + 1 bytes) and returns it when a factory writes it; else
 * returns NULL after saying why not, a key holding none said only when asked. */
const char *get_value(const struct ptb *handle, const unsigned char *image, const char *key, char *value, bool asked);

/* The partition a dump was taken from, as the command line gives it. */
struct dump_partition {
	unsigned long long size;	/* 0: the dump's, rounded up to whole blocks */
	unsigned long long erasesize;
	const char *bad_list;	/* as given, "0,1,5" */
	unsigned long long *bad;	/* its block numbers, once parsed; the caller frees them */
	size_t bad_count;
};

/* A dump as far as it has been read: a file is read where the PTB lies, a
 * stream (a pipe, a FIFO, standard input) from its start up to what the
 * checks need. */
struct dump_source {
	const char *name;
	int fd;
	bool stream;
	unsigned long long length;	/* of the file; of a stream, as far as read */
	unsigned char *image;	/* PTB_MIN_READ bytes from the good block; the caller frees it */
};

/* Parses the bad-block list; returns 0, or -1 after saying why, nothing to free. */
int dump_parse_bad(struct dump_partition *partition);

/* Finds the first good block as the device does and reads the PTB from
 * there into dump->image; returns 0, or -1 after saying why not. */
int dump_read(struct dump_source *dump, struct dump_partition *partition);

/* An MTD partition on the device itself, open. */
struct mtd_device {
	const char *path;
	int fd;
	struct mtd_info_user info;
	dev_t rdev;		/* the node's device number, which names its lock */
};

/* Opens path as an MTD partition, for writing or read-only; returns 0, or
 * -1 after saying why not. */
int device_open(const char *path, bool writing, struct mtd_device *device);

/* Takes the partition's lock, a flock on its read-write node, exclusive to
 * write or shared to read, waiting a while for another ptbtool to finish.
 * Returns its descriptor, or -1 after saying why not; DEVICE_UNLOCKED when a
 * reader can't open that node (not root) and reads unlocked, as ptbenv does. */
enum { DEVICE_UNLOCKED = -2 };
int device_lock(const struct mtd_device *device, bool writing);

/* Whether fd is an MTD partition, filling info from its driver. */
bool device_is_mtd(int fd, struct mtd_info_user *info);

/* Reads the PTB as ptbenv does and says on standard error what the ECC
 * corrected or could not. Returns 0 with block filled, or -1 after saying
 * why, nothing to free. */
int device_read(const struct mtd_device *device, struct ptb_block *block);

/* Writes image over the PTB as block read it (its image NULL when its
 * bytes are not known), after saving them to backup when one is named;
 * says what was done. Returns the exit status. */
int device_write(const struct mtd_device *device, const struct ptb_block *block, const unsigned char *image,
		 bool refresh, const char *backup);

/* Says on standard error which device step failed where, and why. */
void device_say_failure(const char *path, const struct ptb_failure *failure);

/* Says on standard error what the writer's report tells, in the order it
 * happened: each place that failed, the blocks retired, ptbenv's read of
 * the PTB written and what went wrong at the end. */
void device_say_write(const char *path, const struct mtd_info_user *info, const struct ptb_write_report *report);

/* Says how ptb_write, which returned written, ended, backup naming the
 * file that holds the old PTB, or NULL; returns the exit status. */
int device_written(const struct mtd_device *device, int written, const struct ptb_write_report *report,
		   const char *backup);

/* Where a write was cut short and the PTB is torn, writes the PTB's copy
 * over it, so that the change completes. Says what it found and did, the
 * PTB in order or not to be helped quietly unless asked (ptbtool recover).
 * Returns the exit status: 0 when the PTB is whole now or can't be helped. */
int device_recover(const struct mtd_device *device, bool asked);

/* After show read the PTB (block, its image NULL when it did not read):
 * warns when its copy tells that a write was cut short in it, naming
 * ptbtool recover. */
void device_warn_torn(const struct mtd_device *device, const struct ptb_block *block);

#endif
