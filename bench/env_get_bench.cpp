/* How the cost of one lookup grows: env_get("sninfo") in-process over the
 * simulated device, for erase sizes of 4 KiB, 128 KiB and 2 MiB and for 0, 10
 * and 1000 bad blocks ahead of the good one. Beside each, "device" makes the
 * same device calls directly (open, MEMGETINFO, one MEMGETBADBLOCK per block
 * tested, malloc, one pread, free, close), so what env_get adds on top of the
 * device can be told apart from what the simulated device itself costs.
 *
 * Counters per lookup: read_KiB (the pread length) and badblock_queries.
 * Standard error goes to /dev/null: each bad block skipped prints a line. */
#include "mtdsim.h"
#include "ptb/ptb_env.h"
#include "ptb_image.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

static const char SERIAL[] = "PT2324A00117";

/* A partition whose blocks 0 to bad - 1 are bad and whose block bad holds a
 * PTB; attaching copies the image, so it is done once per configuration. */
static void attach(uint32_t erasesize, uint32_t bad)
{
	static uint32_t attached_erasesize, attached_bad;
	static bool attached;

	if (attached && attached_erasesize == erasesize && attached_bad == bad)
		return;
	size_t good = (size_t)bad * erasesize;
	size_t length = std::max<size_t>(erasesize, PTB_MIN_READ);
	size_t size = good + (length + erasesize - 1) / erasesize * erasesize;
	ptb_bytes ptb = ptb_blank();
	ptb_put_text(ptb, "sninfo", SERIAL);
	ptb_bytes image(good + ptb.size(), 0xFF);
	std::copy(ptb.begin(), ptb.end(), image.begin() + good);
	std::vector<uint32_t> bad_blocks;
	for (uint32_t block = 0; block < bad; block++)
		bad_blocks.push_back(block);

	struct mtdsim_device device = {};
	device.image = image.data();
	device.image_length = image.size();
	device.size = (uint32_t)size;
	device.erasesize = erasesize;
	device.bad_blocks = bad_blocks.data();
	device.bad_count = bad_blocks.size();
	mtdsim_attach(&device);
	attached = true;
	attached_erasesize = erasesize;
	attached_bad = bad;
}

static void count_device_calls(benchmark::State &state, const struct mtdsim_counts &before)
{
	const struct mtdsim_counts *after = mtdsim_calls();
	double lookups = (double)state.iterations();

	state.counters["read_KiB"] = (double)after->last_pread_length / 1024;
	state.counters["badblock_queries"] = (after->badblock_queries - before.badblock_queries) / lookups;
}

static void bm_env_get(benchmark::State &state, uint32_t erasesize, uint32_t bad)
{
	attach(erasesize, bad);
	struct mtdsim_counts before = *mtdsim_calls();
	for (auto _ : state) {
		const char *value = env_get("sninfo");

		if (value == NULL || strcmp(value, SERIAL) != 0) {
			state.SkipWithError("the lookup failed");
			break;
		}
		benchmark::DoNotOptimize(value);
	}
	count_device_calls(state, before);
}

static void bm_device(benchmark::State &state, uint32_t erasesize, uint32_t bad)
{
	attach(erasesize, bad);
	struct mtdsim_counts before = *mtdsim_calls();
	for (auto _ : state) {
		struct mtd_info_user info;
		int fd = open(PTB_DEVICE_PATH, O_RDONLY);
		loff_t offset = 0, probe = 0;

		ioctl(fd, MEMGETINFO, &info);
		while (ioctl(fd, MEMGETBADBLOCK, &probe) > 0)
			probe = offset += info.erasesize;
		size_t length = std::max<size_t>(info.erasesize, PTB_MIN_READ);
		unsigned char *image = (unsigned char *)malloc(length);
		if (pread(fd, image, length, offset) != (ssize_t)length) {
			state.SkipWithError("the read failed");
			break;
		}
		benchmark::DoNotOptimize(image);
		free(image);
		close(fd);
	}
	count_device_calls(state, before);
}

/* Other work on a shared machine only ever adds time: the fastest repetition
 * is the steadiest figure. */
static double fastest(const std::vector<double> &values)
{
	return *std::min_element(values.begin(), values.end());
}

int main(int argc, char **argv)
{
	static const uint32_t erasesizes[] = { 4 << 10, 128 << 10, 2 << 20 };
	static const uint32_t bad_counts[] = { 0, 10, 1000 };

	for (uint32_t erasesize : erasesizes)
		for (uint32_t bad : bad_counts) {
			std::string suffix = "/erase:" + std::to_string(erasesize >> 10) + "KiB/bad:" + std::to_string(bad);
			benchmark::RegisterBenchmark(("env_get" + suffix).c_str(), bm_env_get, erasesize, bad)
				->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
			benchmark::RegisterBenchmark(("device" + suffix).c_str(), bm_device, erasesize, bad)
				->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
		}
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	if (freopen("/dev/null", "w", stderr) == NULL)
		return 1;
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
