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

#include "devices.h"

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
#define LOCK_DIR "/pondrel"
#define LOCK_DIR_SIZE (sizeof(LOCK_PARENTS[0]) - 1 + sizeof(LOCK_DIR))
/* A name that another user takes again as fast as it goes: not forever. */
#define LOCK_TRIES 8

/*
 * pondrel's own: a directory of root's that no one else may write in. Where
 * others may make names beside it, in a sticky, world-writable parent such
 * as a bare tmpfs on /run or /var/lock, they may not even open it: see
 * open_shared_dir.
 */
static bool
own_dir(const struct stat *st, bool shared)
{
	return S_ISDIR(st->st_mode) && st->st_uid == 0 &&
	       (st->st_mode & (shared ? S_IRWXG | S_IRWXO : S_IWGRP | S_IWOTH)) ==
		   0;
}

static int
exchange(const char *a, const char *b)
{
	return (int)syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b,
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
replace(const char *dir)
{
	char aside[LOCK_DIR_SIZE + sizeof(".untrusted-") + 16];
	unsigned long long r;
	struct stat st;
	int gate;

	if (getrandom(&r, sizeof(r), 0) != (ssize_t)sizeof(r))
		return;
	snprintf(aside, sizeof(aside), "%s.untrusted-%016llx", dir, r);
	if (mkdir(aside, 0700) != 0)
		return;
	gate = openat(AT_FDCWD, aside, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (gate >= 0 && flock(gate, LOCK_EX) == 0 &&
	    exchange(aside, dir) == 0) {
		if (fstatat(AT_FDCWD, aside, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    own_dir(&st, true))
			exchange(aside, dir);
		else
			aside[0] = '\0'; /* the user's, left aside */
	}
	/* Ours, when a step failed or another run's went back. */
	if (aside[0] != '\0')
		rmdir(aside);
	if (gate >= 0)
		close(gate);
}

/*
 * pondrel's directory in a sticky parent that others write in too, made or
 * taken back if need be where create says so; -1 where none can be had
 * there. A reader makes nothing and moves nothing.
 */
static int
open_shared_dir(const char *path, bool create)
{
	struct stat st, now;
	int dir, k;

	for (k = 0; k < LOCK_TRIES; k++) {
		dir = openat(AT_FDCWD, path,
			     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
		if (dir < 0 && errno == ENOENT) {
			if (!create ||
			    (mkdir(path, 0700) != 0 && errno != EEXIST))
				return -1;
			continue;
		}
		/* A file or a link in its place is another user's too. */
		if (dir < 0 && errno != ENOTDIR && errno != ELOOP)
			return -1;
		if (dir >= 0 && fstat(dir, &st) == 0 && own_dir(&st, true)) {
			/*
			 * Held alone only by a run that has just put it in
			 * place and not yet seen what it displaced; it may yet
			 * go back.
			 */
			if (flock(dir, LOCK_SH) == 0 &&
			    fstatat(AT_FDCWD, path, &now, AT_SYMLINK_NOFOLLOW) ==
				0 &&
			    now.st_ino == st.st_ino && now.st_dev == st.st_dev)
				return dir;
			close(dir);
			continue;
		}
		if (dir >= 0)
			close(dir);
		if (!create)
			return -1;
		replace(path);
	}
	return -1;
}

/*
 * The interface's lock file under one parent, open; -1 where none can be
 * had there. Only root may make or replace a name in the parent: owned by
 * root and writable by no one else, or sticky, where no one may move or
 * remove another's name.
 */
static int
open_lock(const char *parent, const char *file, int flags)
{
	char dir[LOCK_DIR_SIZE], path[LOCK_DIR_SIZE + IFNAMSIZ + 5];
	struct stat st;
	size_t len = strlen(parent), dirlen = len + sizeof(LOCK_DIR) - 1;
	int d, fd;

	/* Copied rather than printed, as every plain run takes it. */
	memcpy(dir, parent, len);
	memcpy(dir + len, LOCK_DIR, sizeof(LOCK_DIR));
	memcpy(path, dir, dirlen);
	path[dirlen] = '/';
	memcpy(path + dirlen + 1, file, strlen(file) + 1);
	if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0)
		return -1;
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
		if ((st.st_mode & S_ISVTX) == 0 ||
		    (d = open_shared_dir(dir, (flags & O_CREAT) != 0)) < 0)
			return -1;
		fd = openat(d, file, flags, 0600);
		close(d);
		return fd;
	}
	/*
	 * Where only root makes names, nothing can move between opening the
	 * file by its path and looking at the directory that holds it: four
	 * system calls for a run, the lock's own included.
	 */
	fd = openat(AT_FDCWD, path, flags, 0600);
	if (fd < 0 && errno == ENOENT && (flags & O_CREAT) != 0 &&
	    (mkdir(dir, 0700) == 0 || errno == EEXIST))
		fd = openat(AT_FDCWD, path, flags, 0600);
	if (fd >= 0 && (fstatat(AT_FDCWD, dir, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
			!own_dir(&st, false))) {
		close(fd);
		fd = -1;
	}
	return fd;
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
	int fd = open_run_file(name, ".lock", O_RDWR | O_CREAT);

	if (fd < 0)
		return -1;
	while (flock(fd, LOCK_EX) != 0 && errno == EINTR)
		;
	return fd;
}

/*
 * The interface's file of that suffix in the first of the parents that
 * holds or takes pondrel's directory, opened with flags; -1 for none.
 */
int
open_run_file(const char *name, const char *suffix, int flags)
{
	char file[IFNAMSIZ + 8];
	size_t len = strlen(name), i;
	int fd = -1;

	if (len == 0 || len >= IFNAMSIZ || strchr(name, '/') != NULL ||
	    strlen(suffix) >= sizeof(file) - IFNAMSIZ)
		return -1;
	memcpy(file, name, len);
	memcpy(file + len, suffix, strlen(suffix) + 1);
	for (i = 0; fd < 0 && i < sizeof(LOCK_PARENTS) / sizeof(*LOCK_PARENTS);
	     i++)
		fd = open_lock(LOCK_PARENTS[i], file,
			       flags | O_NOFOLLOW | O_CLOEXEC);
	return fd;
}
