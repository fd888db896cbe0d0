/* ptbtool set and write as processes over the simulated device: what they
 * say and return, the blocks they erase and mark, and what ptbenv reads in
 * the next process, every byte not asked to change as it was. */
#include "run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const std::string DEVICE = "/dev/mtd2";

/* The values of the PTB every row starts from, at the partition's start. */
const std::vector<std::pair<std::string, std::string>> FACTORY = { { "sninfo", "PT1" }, { "chipinfo", "factory" } };

/* Partition bytes that tell where they came from, around the factory's
 * values; the blocks the PTB's copy takes at the end erased, where it has
 * room, unless not spare. */
ptb_bytes factory(const sim_partition &device, bool spare)
{
	ptb_bytes bytes = ptb_pattern(device.size);
	for (const auto &key_value : FACTORY)
		ptb_put_value(bytes, key_value.first, key_value.second);
	size_t blocks = device.erasesize != 0 ? sim_values_region(device.erasesize) / device.erasesize + 1 : 0;
	if (spare && blocks * device.erasesize + std::max<size_t>(device.erasesize, 40960) <= device.size)
		std::fill(bytes.end() - blocks * device.erasesize, bytes.end(), 0xFF);
	return bytes;
}

/* What another user, nobody, leaves before the run: at PUB/ptb-before.img, in
 * a sticky folder anyone may write to, a link to root's SECRET/shadow or to
 * a name not taken in SECRET, a file anyone may write or a FIFO; at the
 * lock's old name in /run/lock a link, a FIFO or a file nobody holds locked. */
enum planted { PLANTS_NOTHING, LINK_TO_SECRET, LINK_TO_NEW, FILE_OF_ANYONE, FIFO_OF_ANYONE, LOCK_LINK, LOCK_FIFO, LOCK_HELD };

/* What became of the partition after the first run, before the row's. */
enum after_first {
	AS_LEFT,
	PTB_TORN,	/* the PTB's block erased from its second page on, as a cut in a rewrite leaves it */
	OLD_PTB_BACK,	/* the PTB as before the first run, its copy left: a cut before the erase */
	COPY_UNCOMMITTED,	/* that, and the copy's commit erased: a cut before it was programmed */
};

/* What ptbenv prints over the partition the run left. */
enum reads { READS_NEW, READS_OLD, READS_UNCHECKED };

struct set_case {
	const char *name;
	sim_partition device;	/* its bytes: factory() */
	std::vector<std::string> first;	/* a run before, over the device; IMAGE and BACKUP name scratch files */
	std::vector<std::string> args;
	std::vector<std::pair<std::string, std::string>> values;	/* set's, or IMAGE's */
	int status;
	std::string out;
	std::string err;
	unsigned erases;	/* MEMERASE calls */
	std::string blocks;	/* sim_blocks_after(), against the device before the first run */
	uint32_t ptb_block;	/* where the new PTB was written */
	std::vector<uint32_t> bad_after;
	enum reads reads;
	int lock_held = 0;	/* tool_options' */
	enum after_first after = AS_LEFT;
	bool spare = true;	/* the copy's blocks erased at the start */
	enum planted planted = PLANTS_NOTHING;
	const char *made = NULL;	/* a file the run makes, 0600 */
	size_t image_length = 0;	/* IMAGE made of the factory's first bytes and the values; 0: none */
	bool no_run_lock = false;	/* tool_options' */
};

/* c, writing an IMAGE of length bytes made of the factory's first and the values. */
set_case image_of(size_t length, set_case c)
{
	c.image_length = length;
	return c;
}

/* c, run with no /run/lock. */
set_case without_run_lock(set_case c)
{
	c.no_run_lock = true;
	return c;
}

const sim_partition NAND = sim_flash(SIM_SIZE, SIM_ERASESIZE);
const std::vector<std::string> SET = { "set", DEVICE, "sninfo=PT2" };
const std::vector<std::pair<std::string, std::string>> PT2 = { { "sninfo", "PT2" } };
/* Where the copy lies on NAND: the last two blocks. */
const uint64_t SIX_BLOCKS = 6 * SIM_ERASESIZE;

const set_case set_cases[] = {
	{ "set one value", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW },
	{ "a second identical set erases nothing", NAND, SET, SET, PT2,
	  0, holds_already(DEVICE, 0), "", 0, "nkkkkkxx", 0, {}, READS_NEW },
	{ "set with no value rewrites the block as it reads", NAND, {}, { "set", DEVICE }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 1, "kkkkkkxx", 0, {}, READS_OLD },
	{ "a value make refuses: the whole set refused", NAND, {}, { "set", DEVICE, "sninfo=PT2", "product=GW\n8" }, {},
	  1, "", ptbtool_error(holds_byte("product", '\n')), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a read-only partition", sim_fault(NAND, MTDSIM_READ_ONLY), {}, SET, {},
	  1, "", cant_be_written(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "the read-only node", NAND, {}, { "set", "/dev/mtd2ro", "sninfo=PT2" }, {},
	  1, "", cant_be_written("/dev/mtd2ro"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an image file is no device to set", NAND, { "make", "IMAGE" }, { "set", "IMAGE", "sninfo=PT2" }, {},
	  1, "", not_an_mtd_device("IMAGE"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an erase size of 0", sim_flash(SIM_SIZE, 0), {}, SET, {},
	  1, "", erase_size_0(DEVICE), 0, "k", 0, {}, READS_OLD },
	{ "a step the ECC can't correct, outside the values",
	  sim_uncorrectable(NAND, { { 0x10000, 0x10010 } }), {}, SET, {},
	  1, "", failed_elsewhere(DEVICE, 1, 0) + not_whole(DEVICE, 0, 1), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a weak block: marked, the PTB in the next", sim_weak_blocks(NAND, { 0 }),
	  {}, SET, PT2,
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) + bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "knkkkkxx", 1, { 0 }, READS_NEW },
	{ "a weak page: the block erased and marked, the PTB in the next",
	  sim_weak_pages(NAND, { 5 }), {}, SET, PT2,
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, PROGRAMMING, 0x2800, EIO_TEXT) + block_failed(DEVICE, 0, true) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "enkkkkxx", 1, { 0 }, READS_NEW },
	{ "the mark does not stick: after a reboot the old PTB reads again",
	  sim_weak_blocks(sim_fault(NAND, MTDSIM_MARKBAD_FAILS), { 0 }), {}, SET, PT2,
	  3, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false, EIO_TEXT) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1) + may_not_survive(DEVICE),
	  3, "knkkkkxx", 1, {}, READS_OLD },
	{ "two failing blocks: the PTB in the third, then both marked",
	  sim_weak_blocks(NAND, { 0, 1 }),
	  {}, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, PT2,
	  0, ptb_written(DEVICE, 2 * SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, SIM_ERASESIZE, EIO_TEXT) +
	  block_failed(DEVICE, SIM_ERASESIZE, false) + block_failed(DEVICE, 0, false) +
	  bad_block_lines(SIM_ERASESIZE, 0, 2),
	  5, "kknkkkxx", 2, { 0, 1 }, READS_NEW },
	{ "every erase failing: four tries, nothing marked, the backup named",
	  sim_fault(NAND, MTDSIM_ERASE_FAILS),
	  {}, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, {},
	  3, "",
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, SIM_ERASESIZE, EIO_TEXT) +
	  write_failed(DEVICE, ERASING, 2 * SIM_ERASESIZE, EIO_TEXT) +
	  write_failed(DEVICE, ERASING, 3 * SIM_ERASESIZE, EIO_TEXT) + blocks_failed(DEVICE) +
	  changed_not_as_asked(DEVICE, "BACKUP"),
	  4, "kkkkkkxx", 0, {}, READS_OLD },
	{ "the backup set saved, written back: the old PTB again", NAND, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" },
	  { "write", DEVICE, "BACKUP" }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 3, "kkkkkkxx", 0, {}, READS_OLD },
	{ "an image make wrote: its bytes, the block's past them kept", NAND, { "make", "IMAGE", "sninfo=PT9" },
	  { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW },
	image_of(PTB_VALUES_END, { "an image of the values' bytes alone: the block's past them kept", NAND, {},
				   { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
				   0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW }),
	image_of(PTB_VALUES_END - 1, { "an image a byte shorter", NAND, {}, { "write", DEVICE, "IMAGE" }, {},
				       1, "", not_an_image("IMAGE", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD }),
	{ "a word after the image: the usage, nothing written", NAND, { "make", "IMAGE", "sninfo=PT9" },
	  { "write", DEVICE, "IMAGE", "extra" }, {},
	  2, "", PTBTOOL_USAGE_TEXT, 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an image larger than the block", NAND, { "make", "--erasesize", "262144", "IMAGE" },
	  { "write", DEVICE, "IMAGE" }, {},
	  1, "", not_an_image("IMAGE", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a FIFO named as the image: refused, not waited on with the lock held", NAND, {}, { "write", DEVICE, "FIFO" }, {},
	  1, "", not_an_image("FIFO", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a whole image over values the ECC can't read: restored in the next block",
	  sim_uncorrectable(NAND, { sim_field_bytes("sninfo") }),
	  { "make", "--erasesize", "131072", "IMAGE", "sninfo=PT9" }, { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  PREAD_EBADMSG + values_unreadable(DEVICE, 1, 0) + write_failed(DEVICE, READING_BACK, 0, EBADMSG_TEXT) +
	  block_failed(DEVICE, 0, true) + bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "enkkkkxx", 1, { 0 }, READS_NEW },
	{ "4 KiB blocks: the first of the PTB's two alone", sim_flash(64 * KiB, 4 * KiB), {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkkkkkkkxxx", 0, {}, READS_NEW },
	{ "4 KiB blocks: the backup holds both the PTB's blocks", sim_flash(64 * KiB, 4 * KiB), {},
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkkkkkkkxxx", 0, {}, READS_NEW },
	{ "4 KiB blocks, the first fails: both the PTB's blocks written in the next",
	  sim_weak_blocks(sim_flash(64 * KiB, 4 * KiB), { 0 }), {}, SET, PT2,
	  0, ptb_written(DEVICE, 4 * KiB, 2),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) + bad_block_lines(4 * KiB, 0, 1),
	  4, "knnkkkkkkkkkkxxx", 1, { 0 }, READS_NEW },
	{ "one bitflip corrected reading, and one reading back: said in the singular",
	  sim_corrected(NAND, { { 0x100, 0x101 } }), {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), corrected_bitflips(DEVICE, 1, 0) + corrected_reading_back(DEVICE, 1),
	  1, "nkkkkkxx", 0, {}, READS_NEW },
	{ "the copy programmed with other bytes (program-wrong): refused, the PTB as it was",
	  sim_fault(NAND, MTDSIM_PROGRAM_WRONG), {}, SET, {},
	  1, "", copy_not_as_written(DEVICE, SIX_BLOCKS) + copy_failed(DEVICE), 0, "kkkkkkxx", 0, {}, READS_OLD },
	{ "a pwrite of the copy short (pwrite-short): refused, the PTB as it was", sim_fault(NAND, MTDSIM_PWRITE_SHORT), {},
	  SET, {},
	  1, "", write_failed(DEVICE, PROGRAMMING, 7 * SIM_ERASESIZE, EIO_TEXT) + copy_failed(DEVICE), 0, "kkkkkkkk", 0, {},
	  READS_OLD },
	{ "the ECC counters failing after the first (eccstats-second-fails): written, read uncounted",
	  sim_fault(NAND, MTDSIM_ECCSTATS_SECOND_FAILS), {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW },
	{ "another set holds the lock a moment: set waits, then writes", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW, LOCK_EX },
	{ "a show holds it: set waits too", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW, LOCK_SH },
	{ "a show holds it: write waits too", NAND, { "make", "IMAGE", "sninfo=PT9" }, { "write", DEVICE, "IMAGE" },
	  { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW, LOCK_SH },
	without_run_lock({ "no /run/lock, as early in boot: set still waits for a show", NAND, {}, SET, PT2,
			   0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW,
			   LOCK_SH }),
	without_run_lock({ "no /run/lock: show still waits for a set", NAND, {}, { "show", DEVICE, "sninfo" }, {},
			   0, "sninfo:PT1\n", waiting_for_lock(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_EX }),
	{ "show waits for a set", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", waiting_for_lock(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_EX },
	{ "show reads beside another show", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_SH },
	{ "a set cut short with --backup, run again with a new one: the cut one completed first, the backup a whole PTB",
	  NAND, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, { "set", "--backup", "BACKUP2", DEVICE, "sninfo=PT2" },
	  PT2, 0, completed(DEVICE, 0, SIX_BLOCKS) + ptb_written(DEVICE, 0, 1) + holds_already(DEVICE, 0), "",
	  1, "nkkkkkxx", 0, {}, READS_NEW, 0, PTB_TORN },
	{ "a set cut short with --backup, run again with the same: refused before the cut one is touched", NAND,
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, {},
	  1, "", backup_name_taken("BACKUP"), 0, "xkkkkkxx", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "recover: a torn PTB written from its copy", NAND, SET, { "recover", DEVICE }, PT2,
	  0, completed(DEVICE, 0, SIX_BLOCKS) + ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, PTB_TORN },
	{ "recover waits for a show's lock, then writes", NAND, SET, { "recover", DEVICE }, PT2,
	  0, completed(DEVICE, 0, SIX_BLOCKS) + ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {},
	  READS_NEW, LOCK_SH, PTB_TORN },
	{ "recover with a word more: the usage, nothing written", NAND, SET, { "recover", DEVICE, "extra" }, {},
	  2, "", PTBTOOL_USAGE_TEXT, 0, "xkkkkkxx", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "show warns of a torn PTB, naming recover", NAND, SET, { "show", DEVICE, "qvhardreset" }, {},
	  0, "", torn_warning(DEVICE, 0), 0, "xkkkkkxx", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "recover: the PTB is its copy: nothing to do", NAND, SET, { "recover", DEVICE }, PT2,
	  0, nothing_to_recover(DEVICE, 0), "", 0, "nkkkkkxx", 0, {}, READS_NEW },
	{ "recover: cut before the erase: the old PTB kept, the change said not to have happened", NAND, SET,
	  { "recover", DEVICE }, {},
	  0, did_not_happen(DEVICE, 0, SIX_BLOCKS), "", 0, "kkkkkkxx", 0, {}, READS_OLD, 0, OLD_PTB_BACK },
	{ "set over an erased PTB with no copy: refused, recover named", NAND, {}, SET, {},
	  1, "", erased_values(DEVICE, 0, "chipinfo"), 0, "xkkkkkkk", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "recover with no copy and the PTB erased: refused", NAND, {}, { "recover", DEVICE }, {},
	  1, "", no_copy_torn(DEVICE, 0), 0, "xkkkkkkk", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "write refuses an image all 0xFF", NAND, {}, { "write", DEVICE, "ERASED" }, {},
	  1, "", all_0xff_image("ERASED"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "the blocks at the end hold something else: left alone, the set refused", NAND, {}, SET, {},
	  1, "", copy_foreign(DEVICE, SIX_BLOCKS, ""), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, false },
	{ "no room for the copy: refused without a backup", sim_flash(2 * SIM_ERASESIZE, SIM_ERASESIZE),
	  {}, SET, {},
	  1, "", no_room(DEVICE, ""), 0, "kk", 0, {}, READS_OLD },
	{ "no room for the copy, a set with --backup, then the backup written: every byte back",
	  sim_flash(2 * SIM_ERASESIZE, SIM_ERASESIZE),
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, { "write", "--backup", "IMAGE", DEVICE, "BACKUP" }, {},
	  0, ptb_written(DEVICE, 0, 1), no_room(DEVICE, "IMAGE"), 1, "kk", 0, {}, READS_OLD },
	{ "4 KiB blocks, a bad second block: the PTB moves to two good blocks in a row",
	  sim_bad(sim_flash(64 * KiB, 4 * KiB), { 1 }), {}, SET, PT2,
	  0, ptb_written(DEVICE, 0x2000, 2), ahead_retired(DEVICE, 0) + bad_block_lines(4 * KiB, 0, 2),
	  3, "eknnkkkkkkkkkxxx", 2, { 1, 0 }, READS_NEW },
	{ "nobody: set's backup is 0600", NAND, {}, { "set", "--backup", "PUB/ptb-before.img", DEVICE, "sninfo=PT2" }, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, AS_LEFT, true, PLANTS_NOTHING, "PUB/ptb-before.img" },
	{ "nobody: make's image is 0600", NAND, {}, { "make", "PUB/ptb-before.img", "appkey=000102030405060708090A0B0C0D0E0F" }, {},
	  0, "", "", 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, PLANTS_NOTHING, "PUB/ptb-before.img" },
	{ "a link to root's file at the backup's name: refused, the flash untouched", NAND, {}, { "set", "--backup", "PUB/ptb-before.img", DEVICE, "sninfo=PT2" }, {},
	  1, "", backup_name_taken("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LINK_TO_SECRET },
	{ "a link to root's file as make's OUT: not followed", NAND, {}, { "make", "PUB/ptb-before.img", "appkey=000102030405060708090A0B0C0D0E0F" }, {},
	  1, "", link_not_followed("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LINK_TO_SECRET },
	{ "a link to a new name in root's folder as make's OUT: nothing made", NAND, {}, { "make", "PUB/ptb-before.img", "appkey=000102030405060708090A0B0C0D0E0F" }, {},
	  1, "", link_not_followed("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LINK_TO_NEW },
	{ "another user's file at the backup's name: refused, the flash untouched", NAND, {}, { "set", "--backup", "PUB/ptb-before.img", DEVICE, "sninfo=PT2" }, {},
	  1, "", backup_name_taken("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, FILE_OF_ANYONE },
	{ "another user's file as make's OUT: replaced by root's, 0600", NAND, {}, { "make", "PUB/ptb-before.img", "appkey=000102030405060708090A0B0C0D0E0F" }, {},
	  0, "", "", 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, FILE_OF_ANYONE, "PUB/ptb-before.img" },
	{ "another user's FIFO as a fields file: not waited on long", NAND, {},
	  { "make", "--fields", "PUB/ptb-before.img", "PUB/out.img" }, {},
	  1, "", nothing_wrote("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, FIFO_OF_ANYONE },
	{ "another user's FIFO as a dump: not waited on long", NAND, {}, { "show", "PUB/ptb-before.img" }, {},
	  1, "", nothing_wrote("PUB/ptb-before.img"), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, FIFO_OF_ANYONE },
	{ "a link at the lock's old name: set makes nothing", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, AS_LEFT, true, LOCK_LINK },
	{ "a link at the lock's old name: show makes nothing", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LOCK_LINK },
	{ "a FIFO at the lock's old name: set does not hang", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, AS_LEFT, true, LOCK_FIFO },
	{ "a FIFO at the lock's old name: show does not hang", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LOCK_FIFO },
	{ "another user holds a lock on the old name: set does not wait", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, AS_LEFT, true, LOCK_HELD },
	{ "another user holds a lock on the old name: show does not wait", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, true, LOCK_HELD },
	{ "recover: cut before the copy's commit: the old PTB kept, the copy not taken for one", NAND, SET,
	  { "recover", DEVICE }, {},
	  0, no_copy_nothing_to_do(DEVICE, 0), "", 0, "kkkkkkxx", 0, {}, READS_OLD, 0, COPY_UNCOMMITTED },
	{ "the copy's last block failing to erase (a weak block): refused, the PTB as the first set left it",
	  sim_weak_blocks(NAND, { 7 }), SET, { "set", DEVICE, "sninfo=PT3" }, PT2,
	  1, "", write_failed(DEVICE, ERASING_COPY, 7 * SIM_ERASESIZE, EIO_TEXT) + copy_failed(DEVICE),
	  2, "nkkkkkkx", 0, {}, READS_NEW },
	{ "a set cut short behind a bad first block, run again: the cut one completed in the good block",
	  sim_bad(NAND, { 0 }), SET, SET, PT2,
	  0, completed(DEVICE, SIM_ERASESIZE, SIX_BLOCKS) + ptb_written(DEVICE, SIM_ERASESIZE, 1) +
	  holds_already(DEVICE, SIM_ERASESIZE),
	  bad_block_lines(SIM_ERASESIZE, 0, 1) + bad_block_lines(SIM_ERASESIZE, 0, 1), 1, "kxkkkkxx", 1, { 0 }, READS_NEW, 0,
	  PTB_TORN },
};

/* text with IMAGE, BACKUP, FIFO, ERASED (an image all 0xFF), PUB and SECRET naming the scratch folder's files. */
std::string named(std::string text, const scratch &dir)
{
	for (const char *name : { "IMAGE", "BACKUP", "FIFO", "ERASED", "PUB", "SECRET" }) {
		std::string path = dir.path(name);
		for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + path.size()))
			text.replace(at, strlen(name), path);
	}
	return text;
}

std::vector<std::string> named(const std::vector<std::string> &args, const scratch &dir)
{
	std::vector<std::string> named_args;
	named_args.reserve(args.size());
	for (const std::string &arg : args)
		named_args.push_back(named(arg, dir));
	return named_args;
}

/* The PTB's bytes the writer writes, from the partition's start: the whole
 * blocks the values lie in. */
ptb_bytes old_ptb(const sim_partition &device)
{
	if (device.erasesize == 0)
		return ptb_bytes();
	return ptb_bytes(device.image.begin(), device.image.begin() + sim_values_region(device.erasesize));
}

/* The blocks holding the values, as the row asks them written: the PTB's,
 * IMAGE's bytes over them for write, the values stored. */
ptb_bytes new_ptb(const set_case &c, const sim_partition &device, const scratch &dir)
{
	ptb_bytes ptb = old_ptb(device);
	size_t region = ptb.size();
	ptb_bytes image = c.args[0] == "write" && c.args[2] == "IMAGE" ? ptb_read_file(dir.path("IMAGE")) : ptb_bytes();
	std::copy(image.begin(), image.begin() + std::min(image.size(), region), ptb.begin());
	for (const auto &key_value : c.values)
		ptb_put_value(ptb, key_value.first, key_value.second);
	return ptb;
}

unsigned count_of(const std::string &text, const std::string &part)
{
	unsigned count = 0;
	for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
		count++;
	return count;
}

const char OLD_LOCK[] = "/run/lock/ptbtool-mtd2.lock";
const uid_t NOBODY = 65534;
const std::string SECRET_TEXT = "root's own\n";

/* Does as nobody what the row plants, in a child of nobody's; one that holds
 * a lock does so until it is killed. Returns that child, 0 once the child has
 * done, or -1 when it could not. */
pid_t plant_as_nobody(enum planted planted, const scratch &dir)
{
	std::string at = dir.path("PUB/ptb-before.img"), secret = dir.path("SECRET/shadow"),
		    created = dir.path("SECRET/created");
	int ready[2];
	char done;

	if (pipe(ready) != 0)
		return -1;
	fflush(NULL);
	pid_t pid = fork();
	if (pid == 0) {
		int result = -1;
		if (setgroups(0, NULL) == 0 && setresgid(NOBODY, NOBODY, NOBODY) == 0 && setresuid(NOBODY, NOBODY, NOBODY) == 0)
			switch (planted) {
			case PLANTS_NOTHING: result = 0; break;
			case LINK_TO_SECRET: result = symlink(secret.c_str(), at.c_str()); break;
			case LINK_TO_NEW: result = symlink(created.c_str(), at.c_str()); break;
			case FILE_OF_ANYONE: result = ptb_write_file(at, ptb_bytes(8, 'n')) ? chmod(at.c_str(), 0666) : -1; break;
			case FIFO_OF_ANYONE: result = mkfifo(at.c_str(), 0666); break;
			case LOCK_LINK: result = symlink(created.c_str(), OLD_LOCK); break;
			case LOCK_FIFO: result = mkfifo(OLD_LOCK, 0644); break;
			case LOCK_HELD: result = flock(open(OLD_LOCK, O_RDONLY | O_CREAT, 0644), LOCK_EX); break;
			}
		if (result != 0 || write(ready[1], "", 1) != 1)
			_exit(1);
		if (planted == LOCK_HELD)
			pause();
		_exit(0);
	}
	close(ready[1]);
	bool planted_it = pid > 0 && read(ready[0], &done, 1) == 1;
	close(ready[0]);
	if (pid > 0 && planted != LOCK_HELD) {
		waitpid(pid, NULL, 0);
		pid = 0;
	}
	return planted_it ? pid : -1;
}

/* A sticky folder anyone may write to, PUB, as /tmp is, and root's own, SECRET. */
void make_folders(const scratch &dir)
{
	ASSERT_EQ(chmod(dir.dir.c_str(), 0711), 0);
	ASSERT_EQ(mkdir(dir.path("PUB").c_str(), 0700), 0);
	ASSERT_EQ(chmod(dir.path("PUB").c_str(), 01777), 0);
	ASSERT_EQ(mkdir(dir.path("SECRET").c_str(), 0700), 0);
	ASSERT_TRUE(ptb_write_file(dir.path("SECRET/shadow"), ptb_bytes(SECRET_TEXT.begin(), SECRET_TEXT.end())));
	ASSERT_EQ(chmod(dir.path("SECRET/shadow").c_str(), 0640), 0);
}

std::vector<std::string> names_in(const std::string &folder)
{
	std::vector<std::string> names;
	DIR *d = opendir(folder.c_str());
	// cppcheck-suppress readdirCalled ; one thread, and glibc deprecates readdir_r
	for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;)
		if (e->d_name[0] != '.')
			names.push_back(e->d_name);
	if (d != NULL)
		closedir(d);
	return names;
}

/* Root's file as it was, nothing made through a link, and the file the run
 * made private or what nobody planted left as it was. */
void check_nothing_leaked(const set_case &c, const scratch &dir)
{
	struct stat status;

	EXPECT_EQ(ptb_read_file(dir.path("SECRET/shadow")), ptb_bytes(SECRET_TEXT.begin(), SECRET_TEXT.end()));
	EXPECT_NE(lstat(dir.path("SECRET/created").c_str(), &status), 0);
	if (c.made != NULL) {
		ASSERT_EQ(lstat(named(c.made, dir).c_str(), &status), 0);
		EXPECT_TRUE(S_ISREG(status.st_mode));
		EXPECT_EQ(status.st_mode & 07777, 0600u);
		EXPECT_EQ(status.st_uid, 0u);
	} else if (c.planted < LOCK_LINK) {
		ASSERT_EQ(lstat(dir.path("PUB/ptb-before.img").c_str(), &status), 0);
		EXPECT_EQ(status.st_uid, NOBODY);
		EXPECT_EQ(names_in(dir.path("PUB")), std::vector<std::string>{ "ptb-before.img" });
	}
}

void check_set(const set_case &c)
{
	scratch dir;
	sim_partition device = c.device;
	device.image = factory(device, c.spare);
	const sim_partition before = device;
	if (c.image_length != 0) {
		ptb_bytes image(device.image.begin(), device.image.begin() + c.image_length);
		for (const auto &key_value : c.values)
			ptb_put_value(image, key_value.first, key_value.second);
		ASSERT_TRUE(ptb_write_file(dir.path("IMAGE"), image));
	}
	pid_t planter = 0;
	if (c.planted != PLANTS_NOTHING && (geteuid() != 0 || !private_run_lock()))
		GTEST_SKIP() << "skipped: another user's files need root and a mount namespace of the tests' own";
	if (c.no_run_lock && geteuid() != 0)
		GTEST_SKIP() << "skipped: a /run without its lock folder needs root, for a mount namespace of the tool's own";
	if (c.planted != PLANTS_NOTHING || c.made != NULL) {
		make_folders(dir);
		planter = plant_as_nobody(c.planted, dir);
		ASSERT_GE(planter, 0);
	}
	if (!c.first.empty()) {
		tool_run first = run_ptbtool_on(named(c.first, dir), device);
		ASSERT_EQ(first.status, 0) << first.err;
		device = first.device_after;
	}
	if (c.after == PTB_TORN) {
		uint64_t ptb = sim_first_good(device.bad_blocks) * (uint64_t)device.erasesize;
		std::fill(device.image.begin() + ptb + 2048, device.image.begin() + ptb + device.erasesize, 0xFF);
	}
	if (c.after == OLD_PTB_BACK || c.after == COPY_UNCOMMITTED)
		std::copy(before.image.begin(), before.image.begin() + device.erasesize, device.image.begin());
	/* The commit is the copy's last block's second page. */
	if (c.after == COPY_UNCOMMITTED)
		std::fill(device.image.end() - device.erasesize + MTDSIM_DEFAULT_WRITESIZE,
			  device.image.end() - device.erasesize + 2 * MTDSIM_DEFAULT_WRITESIZE, 0xFF);
	ptb_write_file(dir.path("ERASED"), ptb_bytes(8192, 0xFF));
	tool_options options;
	options.lock_held = c.lock_held;
	options.no_run_lock = c.no_run_lock;
	ASSERT_EQ(mkfifo(dir.path("FIFO").c_str(), 0600), 0);

	time_t started = time(NULL);
	tool_run run = run_ptbtool_on(named(c.args, dir), device, options);
	/* A FIFO nothing writes to costs its five seconds, and no more. */
	EXPECT_LE(time(NULL) - started, 8);
	if (planter > 0) {
		kill(planter, SIGKILL);
		waitpid(planter, NULL, 0);
	}
	unlink(OLD_LOCK);
	if (c.planted != PLANTS_NOTHING || c.made != NULL)
		check_nothing_leaked(c, dir);
	EXPECT_EQ(run.status, c.status);
	EXPECT_EQ(run.out, named(c.out, dir));
	/* The usage's IMAGE is its own word, no file. */
	EXPECT_EQ(run.err, c.err == PTBTOOL_USAGE_TEXT ? c.err : named(c.err, dir));
	EXPECT_EQ(count_of(run.device_log, "MEMERASE "), c.erases);
	EXPECT_EQ(sim_blocks_after(before, run.device_after.image, new_ptb(c, before, dir), c.ptb_block * before.erasesize),
		  c.blocks);
	EXPECT_EQ(run.device_after.bad_blocks, c.bad_after);
	/* Writing a backup back restores the bytes past its end as the flash
	 * holds them then, so it is its bytes that tell it whole: the blocks as
	 * they read before the run that saved it, the factory's where nothing
	 * came between. */
	const std::vector<std::string> TO_BACKUP = { "--backup", "BACKUP" };
	for (const std::vector<std::string> *args : { &c.first, &c.args })
		if (c.after == AS_LEFT && std::search(args->begin(), args->end(), TO_BACKUP.begin(), TO_BACKUP.end()) != args->end()) {
			EXPECT_EQ(ptb_read_file(dir.path("BACKUP")), old_ptb(before));
		}
	if (c.reads == READS_UNCHECKED)
		return;
	unsigned good = sim_first_good(c.bad_after);
	/* The blocks' letters tell every byte; one old value tells the PTB is read as before. */
	for (const auto &key_value : c.reads == READS_NEW ? c.values : decltype(FACTORY){ FACTORY[0] }) {
		tool_run read = run_ptbenv({ key_value.first }, run.device_after);
		EXPECT_EQ(read.out, key_value.first + ":" + key_value.second + "\n");
		EXPECT_EQ(read.err, bad_block_lines(before.erasesize, 0, good));
	}
}

TEST(Set, ChangesThePtbOnTheDeviceOrLeavesItAsItWas)
{
	for (const set_case &c : set_cases) {
		SCOPED_TRACE(c.name);
		check_set(c);
	}
}

/* A command cut by the power after each of its device steps in turn, and
 * again with that step half done, on a device that is then recovered and
 * read: every key as before or every key as asked, and the PTB's write
 * region the old one or the new byte for byte. */
struct cut_scenario {
	const char *name;
	sim_partition device;	/* its bytes: factory() */
	std::vector<std::string> first;	/* a run before, with no device: make of IMAGE */
	std::vector<std::string> args;
};

const cut_scenario cut_scenarios[] = {
	{ "set, 128 KiB blocks, 2 KiB pages", NAND, {}, SET },
	{ "write, 128 KiB blocks, 2 KiB pages", NAND, { "make", "IMAGE", "sninfo=PT9", "product=GW9" },
	  { "write", DEVICE, "IMAGE" } },
	{ "set, 4 KiB blocks, 256-byte pages", sim_flash(64 * KiB, 4 * KiB, 256), {}, SET },
	{ "write, 4 KiB blocks, 256-byte pages", sim_flash(64 * KiB, 4 * KiB, 256),
	  { "make", "IMAGE", "sninfo=PT9", "product=GW9" }, { "write", DEVICE, "IMAGE" } },
	{ "set, 128 KiB blocks, page 5 failing to program",
	  sim_weak_pages(NAND, { 5 }), {}, SET },
	{ "write, 4 KiB blocks, block 1 bad from the factory",
	  sim_bad(sim_flash(64 * KiB, 4 * KiB, 256), { 1 }),
	  { "make", "IMAGE", "sninfo=PT9", "product=GW9" }, { "write", DEVICE, "IMAGE" } },
};

/* What a reader gets: each key's ptbenv output, and the erase blocks holding
 * the values from the first good block on, as ptbenv reads them. The test's
 * own readings, not under the checker of a wrapped run. */
struct ptb_state {
	std::vector<std::string> values;
	ptb_bytes region;
};

ptb_state state_of(const sim_partition &device)
{
	ptb_state state;
	uint64_t good = sim_first_good(device.bad_blocks);
	uint64_t region = sim_values_region(device.erasesize);

	for (uint64_t at = good * device.erasesize; at < good * device.erasesize + region; at++)
		state.region.push_back(sim_byte(device.image, at));
	tool_options unwrapped;
	unwrapped.unwrapped = true;
	for (const std::string &key : ptb_keys()) {
		tool_run read = run_ptbenv({ key }, device, unwrapped);
		state.values.push_back(read.status == 0 ? read.out : "status " + std::to_string(read.status));
	}
	return state;
}

/* Cut points of each kind: the old PTB whole, the new one whole, the values
 * whole but the write region neither (torn), the values neither (lost). */
struct cut_tally {
	unsigned points = 0, old_ptb = 0, new_ptb = 0, torn = 0, lost = 0, not_cut = 0, recover_failed = 0;
};

/* Every cut point natively; under valgrind or an emulator every twentieth,
 * the last among them, so that the stage grows by a minute or so; under
 * the sanitizers, whose every process starts slowly, every fifth. */
unsigned cut_stride(void)
{
#if defined(PTBENV_EMULATOR)
	return 20;
#elif defined(PTBENV_UNDER_ASAN)
	return getenv("PTBENV_TEST_WRAPPER") != NULL ? 20 : 5;
#else
	return getenv("PTBENV_TEST_WRAPPER") != NULL ? 20 : 1;
#endif
}

void cut_at(const cut_scenario &c, const sim_partition &device, uint32_t step, bool half, const scratch &dir,
	    const ptb_state &old_ptb, const ptb_state &new_ptb, cut_tally &tally)
{
	sim_partition cut_device = device;
	cut_device.cut_after = step;
	cut_device.cut_half = half;
	tool_run cut = run_ptbtool_on(named(c.args, dir), cut_device);
	tool_run recover = run_ptbtool_on({ "recover", DEVICE }, cut.device_after);
	ptb_state now = state_of(recover.device_after);

	tally.points++;
	tally.not_cut += !cut.cut;
	tally.recover_failed += recover.status != 0;
	if (now.values == old_ptb.values && now.region == old_ptb.region)
		tally.old_ptb++;
	else if (now.values == new_ptb.values && now.region == new_ptb.region)
		tally.new_ptb++;
	else if (now.values == old_ptb.values || now.values == new_ptb.values)
		tally.torn++;
	else
		tally.lost++;
	size_t last = cut.device_log.rfind("step ");
	if (now.values != old_ptb.values && now.values != new_ptb.values)
		printf("power cut lost: %s: after step %u%s: %s", c.name, step, half ? " half done" : "",
		       last == std::string::npos ? "no step logged\n" : cut.device_log.substr(last).c_str());
}

cut_tally cut_everywhere(const cut_scenario &c)
{
	scratch dir;
	sim_partition device = c.device;
	cut_tally tally;

	device.image = factory(device, true);
	if (!c.first.empty()) {
		EXPECT_EQ(run_ptbtool(named(c.first, dir)).status, 0);
	}
	ptb_state old_ptb = state_of(device);
	sim_partition counted = device;
	counted.cut_after = UINT32_MAX;
	tool_run whole = run_ptbtool_on(named(c.args, dir), counted);
	EXPECT_FALSE(whole.cut);
	ptb_state new_ptb = state_of(whole.device_after);
	uint32_t steps = count_of(whole.device_log, "\nstep ");
	for (uint32_t step = 1; step <= steps; step += step == steps ? 1 : std::min(cut_stride(), steps - step))
		for (bool half : { false, true })
			cut_at(c, device, step, half, dir, old_ptb, new_ptb, tally);
	return tally;
}

TEST(Set, ACutAtEveryStepLeavesTheOldPtbOrTheNew)
{
	cut_tally all;

	printf("power cuts: %-50s %6s %5s %5s %5s %5s\n", "scenario", "points", "old", "new", "torn", "lost");
	for (const cut_scenario &c : cut_scenarios) {
		SCOPED_TRACE(c.name);
		cut_tally tally = cut_everywhere(c);
		printf("power cuts: %-50s %6u %5u %5u %5u %5u\n", c.name, tally.points, tally.old_ptb, tally.new_ptb,
		       tally.torn, tally.lost);
		EXPECT_EQ(tally.not_cut, 0u) << "runs the power was to cut that ended on their own";
		EXPECT_EQ(tally.recover_failed, 0u) << "ptbtool recover runs that failed";
		EXPECT_EQ(tally.torn, 0u);
		EXPECT_EQ(tally.lost, 0u);
		all.points += tally.points;
		all.old_ptb += tally.old_ptb;
		all.new_ptb += tally.new_ptb;
		all.torn += tally.torn;
		all.lost += tally.lost;
	}
	printf("power cuts: %-50s %6u %5u %5u %5u %5u\n", "all", all.points, all.old_ptb, all.new_ptb, all.torn, all.lost);
}

}
