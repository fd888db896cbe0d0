/* Runs the fuzz target over input files or directories of them without
 * libFuzzer, so that the corpus and the regression inputs run with every test. */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool run_file(const std::string &path)
{
	std::vector<uint8_t> bytes;
	uint8_t buf[65536];
	size_t got;
	FILE *file = fopen(path.c_str(), "rb");

	if (file == NULL) {
		perror(path.c_str());
		return false;
	}
	while ((got = fread(buf, 1, sizeof(buf), file)) > 0)
		bytes.insert(bytes.end(), buf, buf + got);
	fclose(file);
	LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
	return true;
}

int main(int argc, char **argv)
{
	unsigned inputs = 0;

	for (int i = 1; i < argc; i++) {
		struct stat info;
		std::string path = argv[i];
		if (stat(path.c_str(), &info) != 0) {
			perror(path.c_str());
			return 1;
		}
		if (!S_ISDIR(info.st_mode)) {
			inputs += run_file(path) ? 1 : 0;
			continue;
		}
		DIR *dir = opendir(path.c_str());
		// cppcheck-suppress readdirCalled ; one thread, and glibc deprecates readdir_r
		for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;)
			if (entry->d_name[0] != '.' && run_file(path + "/" + entry->d_name))
				inputs++;
		if (dir != NULL)
			closedir(dir);
	}
	fprintf(stderr, "%u inputs ran\n", inputs);
	return inputs > 0 ? 0 : 1;
}
