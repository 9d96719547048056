// Stands in for libFuzzer where the build has none: runs each input file, or
// each file of each directory named, once through the target, whose own
// checks abort on a broken invariant. No input at all is a failure too, so
// that a lost seed directory cannot pass.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int inputs;

static void
run_file(const std::string &path)
{
	FILE *f = fopen(path.c_str(), "rb");
	if (f == nullptr) {
		perror(path.c_str());
		return;
	}
	std::vector<uint8_t> data;
	int c;
	while ((c = getc(f)) != EOF)
		data.push_back(static_cast<uint8_t>(c));
	fclose(f);
	LLVMFuzzerTestOneInput(data.data(), data.size());
	inputs++;
}

int
main(int argc, char *argv[])
{
	for (int i = 1; i < argc; i++) {
		DIR *dir = opendir(argv[i]);
		if (dir == nullptr) {
			run_file(argv[i]);
			continue;
		}
		while (struct dirent *e = readdir(dir))
			if (e->d_name[0] != '.')
				run_file(std::string(argv[i]) + "/" +
					 e->d_name);
		closedir(dir);
	}
	printf("%d inputs run\n", inputs);
	return inputs > 0 ? 0 : 1;
}
