/*
 * Prints the C library's text for each error number given, one per line.
 * The tool reports errors in its C library's words, which differ between
 * C libraries: tests take the texts they expect from this program, built
 * with the same C library as the binary under test.
 *
 *   pondrel_strerror ERRNO...
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int
main(int argc, char **argv)
{
	for (int i = 1; i < argc; i++)
		puts(strerror(atoi(argv[i])));
	return 0;
}
