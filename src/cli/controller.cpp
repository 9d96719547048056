/*
 * pondrel-auto's part of the command line: the reflectors it pings, the
 * file that SIGHUP rereads, and how the controller's end is reported.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cli.h"

/*
 * Where delay is measured when no --reflector is given: public resolvers
 * that answer pings from anywhere, run by four operators, so that one's
 * trouble is outvoted.
 */
static const char *const DEFAULT_REFLECTORS[] = {"1.1.1.1", "9.9.9.9",
						 "8.8.8.8", "208.67.222.222"};

/* Those given, or the defaults where none are. */
static void
choose_reflectors(struct pinger &p, const struct in_addr *given, int n)
{
	struct in_addr addrs[REFLECTORS_MAX];
	int k = 0;

	if (n > 0) {
		set_reflectors(p, given, n);
		return;
	}
	for (const char *name : DEFAULT_REFLECTORS)
		if (inet_pton(AF_INET, name, &addrs[k]) == 1)
			k++;
	set_reflectors(p, addrs, k);
}

/*
 * A line of the file as systemd's EnvironmentFile= reads it: KEY=VALUE,
 * the value perhaps in quotes. False for a comment, a blank line, or
 * another key.
 */
static bool
value_of(char *line, const char *key, char **value)
{
	size_t n = strlen(key), len;
	char *v;

	line += strspn(line, " \t");
	if (strncmp(line, key, n) != 0 || line[n] != '=')
		return false;
	v = line + n + 1;
	len = strcspn(v, "\r\n");
	while (len > 0 && (v[len - 1] == ' ' || v[len - 1] == '\t'))
		len--;
	v[len] = '\0';
	if (len >= 2 && (v[0] == '"' || v[0] == '\'') && v[len - 1] == v[0]) {
		v[len - 1] = '\0';
		v++;
	}
	*value = v;
	return true;
}

/*
 * A direction's new words: a range, or a rate held as a range of one,
 * where it has a queue of pondrel's; "-" where it has none. Anything else
 * would set up or remove a queue, which takes a restart.
 */
static bool
reread_direction(const char *text, const struct driven &d,
		 struct auto_range *range)
{
	if (strcmp(text, "-") == 0)
		return d.rate < 0;
	if (d.rate < 0)
		return false;
	if (parse_range_arg(text, range))
		return true;
	if (check_rate_arg(text, true, &range->min) != rate_check::ok)
		return false;
	range->max = range->min;
	return true;
}

/* --reflector ADDR and --reflector=ADDR in the OPTIONS line; false for a
 * bad address or too many. */
static bool
reread_reflectors(char *options, struct in_addr *addrs, int *n)
{
	char *word, *next = NULL;
	bool named = false;

	*n = 0;
	for (word = strtok_r(options, " \t", &next); word != NULL;
	     word = strtok_r(NULL, " \t", &next)) {
		const char *addr = NULL;
		if (named)
			addr = word;
		else if (strncmp(word, "--reflector=", 12) == 0)
			addr = word + 12;
		named = strcmp(word, "--reflector") == 0;
		if (addr == NULL)
			continue;
		if (*n == REFLECTORS_MAX ||
		    inet_pton(AF_INET, addr, &addrs[*n]) != 1)
			return false;
		(*n)++;
	}
	return !named;
}

/*
 * SIGHUP's: the file's INGRESS, EGRESS and the reflectors of its OPTIONS
 * in place of those in force, all or none. The mode and the framing stay
 * as they were started.
 */
static void
reload(void *arg, const struct run &r, struct driven *dirs, struct pinger &p)
{
	const char *path = (const char *)arg;
	char lines[3][256], line[256], said[320], *v;
	const char *const keys[3] = {"EGRESS", "INGRESS", "OPTIONS"};
	bool found[3] = {false, false, false};
	struct auto_range ranges[2];
	struct in_addr addrs[REFLECTORS_MAX];
	int n = 0, bad = -1;
	FILE *f = fopen(path, "re");

	if (f == NULL) {
		snprintf(said, sizeof(said), "%s: %s: kept as it was", path,
			 strerror(errno));
		note(r, said);
		return;
	}
	while (fgets(line, sizeof(line), f) != NULL)
		for (int k = 0; k < 3; k++)
			if (value_of(line, keys[k], &v)) {
				snprintf(lines[k], sizeof(lines[k]), "%s", v);
				found[k] = true;
			}
	fclose(f);
	for (int i = 0; i < 2 && bad < 0; i++) {
		ranges[i] = dirs[i].range;
		if (!found[i] ||
		    !reread_direction(lines[i], dirs[i], &ranges[i]))
			bad = i;
	}
	if (bad < 0 && found[2] && !reread_reflectors(lines[2], addrs, &n))
		bad = 2;
	if (bad >= 0) {
		snprintf(said, sizeof(said), "%s: %s=%s: kept as it was", path,
			 keys[bad], found[bad] ? lines[bad] : "(none)");
		note(r, said);
		return;
	}
	for (int i = 0; i < 2; i++) {
		dirs[i].on = dirs[i].rate >= 0;
		dirs[i].range = ranges[i];
	}
	choose_reflectors(p, addrs, n);
	snprintf(said, sizeof(said), "%s reread", path);
	note(r, said);
}

/*
 * Tells a service manager that waits for it (systemd's Type=notify,
 * start-stop-daemon --notify-await) how the start went: "READY=1" once
 * the limits are in force, or an errno where it ends before that, which
 * spares the manager its whole timeout. The variable goes once said.
 */
static void
notify(const char *state)
{
	const char *path = getenv("NOTIFY_SOCKET");
	struct sockaddr_un sa = {};
	size_t n = path != NULL ? strlen(path) : 0;
	int fd;

	unsetenv("NOTIFY_SOCKET");
	/* "@" names an abstract socket. */
	if (n == 0 || n >= sizeof(sa.sun_path) ||
	    (path[0] != '/' && path[0] != '@'))
		return;
	sa.sun_family = AF_UNIX;
	memcpy(sa.sun_path, path, n);
	if (path[0] == '@')
		sa.sun_path[0] = '\0';
	fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return;
	sendto(fd, state, strlen(state), MSG_NOSIGNAL,
	       (const struct sockaddr *)&sa,
	       (socklen_t)(offsetof(struct sockaddr_un, sun_path) + n));
	close(fd);
}

/* Any exit before the limits are in force, usage and fatal reports too. */
static void
notify_failed(void)
{
	char state[24];

	if (getenv("NOTIFY_SOCKET") == NULL)
		return;
	/* The words are pondrel's own, on standard error; the number only
	 * says that the start failed. */
	snprintf(state, sizeof(state), "ERRNO=%d", ECANCELED);
	notify(state);
}

void
watch_start(void)
{
	atexit(notify_failed);
}

int
drive_ranges(struct run &r, const struct options &o, struct driven *dirs)
{
	struct pinger p = {};
	struct drive_how how = {o.verbose, o.remove_at_exit, -1, NULL,
				(void *)o.config};
	struct failure f;

	if (o.config != NULL)
		how.reload = reload;
	choose_reflectors(p, o.reflectors, o.reflectors_given);
	if (!open_pinger(p))
		fatal({"socket", errno});
	/* Where it cannot be had, --status shows no more than the rates. */
	how.shared = open_shared(r.name);
	notify("READY=1");
	f = drive(r, dirs, p, how);
	close(p.fd);
	if (how.shared >= 0)
		close(how.shared);
	if (f.what != NULL) {
		if (r.nl.fatal.what != NULL)
			fatal(r.nl.fatal);
		report_error(f.what, f.err);
		return 1;
	}
	return r.nl.failed == 0 ? 0 : 1;
}
