/* One run at a time on an interface, whoever starts them. */
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "cli.h"

#define LOCK_PREFIX "/run/lock/pondrel."

static int lock_fd = -1;

/*
 * Two runs on one interface at once, as the unit and an ifupdown hook may
 * start at boot, could each remove what the other made, and leave a
 * redirect to an IFB that is gone. So each run waits here for the one
 * before it. The kernel lets go of the lock when the process ends, however
 * it ends. Where no lock can be had (no /run/lock, a read-only /run) the
 * run goes on as runs always did; a name that is no device's takes none.
 */
void
lock_interface(const char *name)
{
	char path[sizeof(LOCK_PREFIX) + IFNAMSIZ];
	size_t len = strlen(name);

	if (lock_fd >= 0 || len >= IFNAMSIZ || strchr(name, '/') != NULL)
		return;
	/* Copied rather than printed, as every plain run takes it. */
	memcpy(path, LOCK_PREFIX, sizeof(LOCK_PREFIX) - 1);
	memcpy(path + sizeof(LOCK_PREFIX) - 1, name, len + 1);
	lock_fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (lock_fd < 0)
		return;
	while (flock(lock_fd, LOCK_EX) != 0 && errno == EINTR)
		;
}
