// Linked into the clock tests of the sanitized build only. They lay a
// tmpfs over /proc to fake the scheduler clock, and LeakSanitizer, which
// lists the threads to stop through /proc, would then die at exit and fail
// every case. Invalid accesses are still caught; leaks of whole runs are
// valgrind's to find.
extern "C" int
__lsan_is_turned_off()
{
	return 1;
}
