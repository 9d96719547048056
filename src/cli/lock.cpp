/*
 * One run at a time on an interface, whoever starts them, in a directory
 * that only root can write in or open: no other user can hold a run back
 * by holding its lock, nor make it run unlocked by taking its name.
 */
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "cli.h"

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

/*
 * Where the lock directory may be, in order: /run on any current system,
 * /var/run and /var/lock where a smaller one has no /run, or a read-only
 * one. The first that holds or takes "pondrel" serves.
 */
static const char LOCK_PARENTS[][sizeof("/var/lock")] = {"/run", "/var/run",
							   "/var/lock"};
#define LOCK_DIR "pondrel"
/* A name that another user takes again as fast as it goes: not forever. */
#define LOCK_TRIES 8

/*
 * Only root may make or replace a name in it: owned by root and writable by
 * no one else, or sticky, as a bare tmpfs on /run or /var/lock is, where no
 * one may move or remove another's name.
 */
static bool
safe_parent(const struct stat *st)
{
	return S_ISDIR(st->st_mode) && st->st_uid == 0 &&
	       ((st->st_mode & (S_IWGRP | S_IWOTH)) == 0 ||
		(st->st_mode & S_ISVTX) != 0);
}

/* pondrel's own: a directory of root's that no one else may even open. */
static bool
own_dir(const struct stat *st)
{
	return S_ISDIR(st->st_mode) && st->st_uid == 0 &&
	       (st->st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

static int
exchange(int parent, const char *a, const char *b)
{
	return (int)syscall(SYS_renameat2, parent, a, parent, b,
			    RENAME_EXCHANGE);
}

/*
 * Another user's name in pondrel's place is never used nor waited on. A
 * new directory of root's, under a name that no one can guess and take
 * first, takes its place in one step, closed to other runs until this
 * one has seen what it displaced. That stays under the new name, where
 * the user may look at it, unless it was the directory that another run
 * had just put there in the same way: that goes back. A run that met
 * this one's in the meantime finds it gone, and starts again.
 */
static void
replace(int parent)
{
	char aside[sizeof(LOCK_DIR ".untrusted-") + 16];
	unsigned long long r;
	struct stat st;
	int gate;

	if (getrandom(&r, sizeof(r), 0) != (ssize_t)sizeof(r))
		return;
	snprintf(aside, sizeof(aside), LOCK_DIR ".untrusted-%016llx", r);
	if (mkdirat(parent, aside, 0700) != 0)
		return;
	gate = openat(parent, aside, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (gate >= 0 && flock(gate, LOCK_EX) == 0 &&
	    exchange(parent, aside, LOCK_DIR) == 0) {
		if (fstatat(parent, aside, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    own_dir(&st))
			exchange(parent, aside, LOCK_DIR);
		else
			aside[0] = '\0'; /* the user's, left aside */
	}
	/* Ours, when a step failed or another run's went back. */
	if (aside[0] != '\0')
		unlinkat(parent, aside, AT_REMOVEDIR);
	if (gate >= 0)
		close(gate);
}

/*
 * pondrel's directory under parent, made or taken back if need be, shared
 * with every run that uses it; -1 where none can be had there.
 */
static int
open_lock_dir(const char *parent)
{
	struct stat st, now;
	int p, dir = -1, k;

	p = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (p < 0)
		return -1;
	if (fstat(p, &st) != 0 || !safe_parent(&st))
		goto out;
	for (k = 0; k < LOCK_TRIES; k++) {
		dir = openat(p, LOCK_DIR,
			     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		if (dir < 0 && errno == ENOENT) {
			if (mkdirat(p, LOCK_DIR, 0700) != 0 && errno != EEXIST)
				break;
			continue;
		}
		/* A file or a link in its place is another user's too. */
		if (dir < 0 && errno != ENOTDIR && errno != ELOOP)
			break;
		if (dir < 0 || fstat(dir, &st) != 0 || !own_dir(&st)) {
			if (dir >= 0)
				close(dir);
			dir = -1;
			replace(p);
			continue;
		}
		/*
		 * Held alone only by a run that has just put it in place and
		 * not yet seen what it displaced; it may yet go back.
		 */
		if (flock(dir, LOCK_SH) == 0 &&
		    fstatat(p, LOCK_DIR, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
		    now.st_ino == st.st_ino && now.st_dev == st.st_dev)
			break;
		close(dir);
		dir = -1;
	}
out:
	close(p);
	return dir;
}

/*
 * Two runs on one interface at once, as the unit and an ifupdown hook may
 * start at boot, could each remove what the other made, and leave a
 * redirect to an IFB that is gone. So each run waits here for the one
 * before it. The kernel lets go of the lock when the process ends, however
 * it ends. Where no directory can be had (a read-only system) the run goes
 * on unlocked, and a shaped run's check of what holds once its requests
 * are done still stands; a name that is no device's takes none. Returns
 * the lock's descriptor, which the run keeps open, or -1.
 */
int
lock_interface(const char *name)
{
	char file[IFNAMSIZ + sizeof(".lock")];
	size_t len = strlen(name), i;
	int dir = -1, fd;

	if (len == 0 || len >= IFNAMSIZ || strchr(name, '/') != NULL)
		return -1;
	for (i = 0; dir < 0 && i < sizeof(LOCK_PARENTS) / sizeof(*LOCK_PARENTS);
	     i++)
		dir = open_lock_dir(LOCK_PARENTS[i]);
	if (dir < 0)
		return -1;
	/* Copied rather than printed, as every plain run takes it. */
	memcpy(file, name, len);
	memcpy(file + len, ".lock", sizeof(".lock"));
	fd = openat(dir, file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	close(dir);
	if (fd < 0)
		return -1;
	while (flock(fd, LOCK_EX) != 0 && errno == EINTR)
		;
	return fd;
}
