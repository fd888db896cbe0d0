/* libptb from 8 threads at once, each through its own handles and all
 * through one shared handle, every value checked against one read alone;
 * run under ThreadSanitizer by the asan stage (preset tsan). */
#include "include/ptb.h"
#include "ptb_image.h"

#include <errno.h>
#include <stdio.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const int THREADS = 8, ROUNDS = 200;

std::vector<std::string> expected;	/* each key's value, "" for none: written before the threads start */

/* Every value of the handle as the single-threaded read gave it; false on the first difference. */
bool reads_as_expected(const struct ptb *ptb)
{
	char value[1025];

	for (size_t i = 0; ptb_key(i) != NULL; i++) {
		enum ptb_result result = ptb_get(ptb, ptb_key(i), value, sizeof(value), NULL);
		if ((result >= 0 ? std::string(value) : std::string()) != expected[i])
			return false;
	}
	return true;
}

void reader(const ptb_bytes *image, const struct ptb *shared, int *failures)
{
	for (int round = 0; round < ROUNDS; round++) {
		struct ptb *own = NULL;
		bool good = ptb_open_image(&own, image->data(), image->size()) == PTB_OK && reads_as_expected(own) &&
			    reads_as_expected(shared);
		struct ptb *none = NULL;
		/* A device path that is no MTD partition: each thread's own errno. */
		errno = 0;
		good = good && ptb_open(&none, "/dev/null") == PTB_ERR_NOT_MTD && errno != 0 && none == NULL;
		ptb_close(own);
		*failures += good ? 0 : 1;
	}
}

}

int main(int argc, char **argv)
{
	ptb_bytes image = ptb_read_file(argc > 1 ? argv[1] : "examples/sample-ptb.img");
	struct ptb *shared = NULL;
	char value[1025];
	int failures[THREADS] = {}, total = 0;
	std::vector<std::thread> threads;

	if (image.empty() || ptb_open_image(&shared, image.data(), image.size()) != PTB_OK) {
		fprintf(stderr, "no image\n");
		return 1;
	}
	for (size_t i = 0; ptb_key(i) != NULL; i++)
		expected.push_back(ptb_get(shared, ptb_key(i), value, sizeof(value), NULL) >= 0 ? value : "");
	threads.reserve(THREADS);
	for (int &failed : failures)
		threads.emplace_back(reader, &image, shared, &failed);
	for (std::thread &thread : threads)
		thread.join();
	ptb_close(shared);
	for (int failed : failures)
		total += failed;
	printf("%d threads, %d rounds each: %d failed\n", THREADS, ROUNDS, total);
	return total == 0 ? 0 : 1;
}
