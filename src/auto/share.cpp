/*
 * What the running controller shares with --status: its ranges, the
 * delay it sees and its reflectors, in IFACE.auto beside the interface's
 * lock, in pondrel's own directory (/run/pondrel). The controller holds
 * the file locked while it runs, so that a file left by one that died is
 * known for what it is.
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "auto.h"
#include "../devices/devices.h"

/* Another build's file is not read: the layout is this build's own. */
#define SHARED_MAGIC (0x706f6e64u + (uint32_t)sizeof(struct auto_shared))

int
open_shared(const char *name)
{
	int fd = open_run_file(name, ".auto", O_RDWR | O_CREAT);

	if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
		close(fd);
		fd = -1;
	}
	return fd;
}

void
share(int fd, const struct driven *dirs, const struct pinger &p,
      const double *delay)
{
	struct auto_shared s;

	memset(&s, 0, sizeof(s));
	s.magic = SHARED_MAGIC;
	for (int i = 0; i < 2; i++) {
		s.on[i] = dirs[i].on;
		s.range[i] = dirs[i].range;
		s.delay_ms[i] = delay[i];
	}
	s.reflectors = p.n;
	for (int i = 0; i < p.n; i++) {
		s.addr[i] = p.r[i].addr;
		s.state[i] = p.r[i].lost ? 2 : p.r[i].answered < 0 ? 0 : 1;
		s.stamps[i] = p.r[i].stamps;
	}
	/*
	 * A small record in one write, read in one: a failed write leaves
	 * the last, which is all that --status would miss.
	 */
	if (pwrite(fd, &s, sizeof(s), 0) < 0)
		return;
}

bool
read_shared(const char *name, struct auto_shared *s)
{
	int fd = open_run_file(name, ".auto", O_RDONLY);
	bool ok;

	if (fd < 0)
		return false;
	/* Free to take: no controller runs for the interface. */
	ok = flock(fd, LOCK_SH | LOCK_NB) != 0 &&
	     read(fd, s, sizeof(*s)) == (ssize_t)sizeof(*s) &&
	     s->magic == SHARED_MAGIC && s->reflectors <= REFLECTORS_MAX;
	close(fd);
	return ok;
}

static const char *const STATES[] = {"silent", "answering", "lost"};

void
print_shared(const struct auto_shared &s, bool json)
{
	static const char *const DIRS[] = {"egress", "ingress"};
	int answering = 0;

	if (json) {
		fputs(",\"auto\":{", stdout);
		for (int i = 0; i < 2; i++)
			if (s.on[i])
				printf("\"%s\":{\"min_kbit\":%.10g,\"max_kbit\":"
				       "%.10g,\"delay_ms\":%.10g},",
				       DIRS[i], s.range[i].min / BYTES_PER_KBIT,
				       s.range[i].max / BYTES_PER_KBIT,
				       s.delay_ms[i]);
		fputs("\"reflectors\":[", stdout);
		for (int i = 0; i < s.reflectors; i++)
			printf("%s{\"address\":\"%s\",\"state\":\"%s\","
			       "\"timestamps\":%s}",
			       i > 0 ? "," : "", inet_ntoa(s.addr[i]),
			       STATES[s.state[i] % 3],
			       s.stamps[i] ? "true" : "false");
		fputs("]}", stdout);
		return;
	}
	fputs("auto:", stdout);
	for (int i = 0; i < 2; i++)
		if (s.on[i])
			printf(" %s %.10g-%.10g Kbit/s, delay %.1f ms,", DIRS[i],
			       s.range[i].min / BYTES_PER_KBIT,
			       s.range[i].max / BYTES_PER_KBIT, s.delay_ms[i]);
	for (int i = 0; i < s.reflectors; i++)
		answering += s.state[i] == 1;
	printf(" %d of %d reflectors answering\n", answering, s.reflectors);
}
