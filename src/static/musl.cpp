/*
 * musl's heap and clock, replaced in the fully static build for what they
 * cost every run.
 *
 * The heap: libnl allocates its socket, its callbacks and every message.
 * musl's allocator makes a break, a guard and a mapping of its own on the
 * first call and, for its books, reads and writes fresh pages: four system
 * calls, three first touches of memory and half of a run's instructions.
 * libnl frees in the reverse order of its allocations, so a stack in one
 * arena serves it: a block freed on top goes at once, with any freed
 * beneath it. What the arena cannot hold, such as many large dumps at
 * once, gets a mapping of its own. The tool runs one thread, so nothing
 * here takes a lock.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

struct alignas(16) block {
	size_t size;  /* bytes, this header included */
	size_t below; /* offset of the block beneath it, or NONE */
	bool freed;
	bool mapped;
};

/*
 * Two dump buffers and what they hold fit. Pages of it that no run
 * reaches are never touched, so they cost nothing.
 */
enum { ARENA_SIZE = 96 * 1024 };
static const size_t NONE = SIZE_MAX;

alignas(16) static unsigned char arena[ARENA_SIZE];
static size_t arena_used;
static size_t top_block = NONE;

static struct block *
block_at(size_t offset)
{
	return (struct block *)(arena + offset);
}

static struct block *
block_of(void *p)
{
	return (struct block *)p - 1;
}

extern "C" void *
malloc(size_t n)
{
	struct block *b;
	size_t need;

	if (n > SIZE_MAX / 2) {
		errno = ENOMEM;
		return NULL;
	}
	need = (sizeof(struct block) + n + 15) & ~(size_t)15;
	if (need <= ARENA_SIZE - arena_used) {
		b = block_at(arena_used);
		b->below = top_block;
		b->mapped = false;
		top_block = arena_used;
		arena_used += need;
	} else {
		void *m = mmap(NULL, need, PROT_READ | PROT_WRITE,
			       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		if (m == MAP_FAILED) {
			errno = ENOMEM;
			return NULL;
		}
		b = (struct block *)m;
		b->mapped = true;
	}
	b->size = need;
	b->freed = false;
	return b + 1;
}

extern "C" void
free(void *p)
{
	struct block *b;

	if (p == NULL)
		return;
	b = block_of(p);
	if (b->mapped) {
		munmap(b, b->size);
		return;
	}
	b->freed = true;
	while (top_block != NONE && block_at(top_block)->freed) {
		arena_used = top_block;
		top_block = block_at(top_block)->below;
	}
}

extern "C" void *
calloc(size_t count, size_t size)
{
	void *p;

	if (size != 0 && count > SIZE_MAX / size) {
		errno = ENOMEM;
		return NULL;
	}
	p = malloc(count * size);
	if (p != NULL)
		memset(p, 0, count * size);
	return p;
}

extern "C" void *
realloc(void *p, size_t n)
{
	size_t had;
	void *q;

	if (p == NULL)
		return malloc(n);
	had = block_of(p)->size - sizeof(struct block);
	q = malloc(n);
	if (q == NULL)
		return NULL;
	memcpy(q, p, had < n ? had : n);
	free(p);
	return q;
}

/*
 * libnl takes the time to seed its sequence numbers and ports. musl asks the
 * vDSO, which on a first call means parsing it and reading its data page:
 * two first touches of memory. One system call costs less. 32-bit systems
 * ask for the 64-bit time first, as musl does, and fall back on kernels
 * older than 5.1.
 */
extern "C" time_t
time(time_t *t)
{
	time_t now;
#ifdef SYS_clock_gettime64
	struct {
		int64_t sec, nsec;
	} wide;
	struct {
		int32_t sec, nsec;
	} narrow;

	if (syscall(SYS_clock_gettime64, CLOCK_REALTIME, &wide) == 0)
		now = (time_t)wide.sec;
	else if (errno == ENOSYS &&
		 syscall(SYS_clock_gettime32, CLOCK_REALTIME, &narrow) == 0)
		now = (time_t)narrow.sec;
	else
		return (time_t)-1;
#else
	struct timespec ts;

	if (syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts) != 0)
		return (time_t)-1;
	now = ts.tv_sec;
#endif
	if (t != NULL)
		*t = now;
	return now;
}
