/*
 * Times commands fairly on a shared machine: every round runs each command
 * once, starting from a different one each round, so that background load
 * falls on all of them alike. A command is one or more programs run one
 * after another (";" between them), as a shell script would run them.
 *
 *   pondrel_bench_runner ROUNDS 'LABEL=prog args ; prog args' ...
 *
 * Prints, per command: label, median / min / max wall time in microseconds,
 * the median of the peak resident set (KiB, the largest of its programs)
 * and how many runs ended with a nonzero status.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_COMMANDS 16
#define MAX_WORDS 64

struct command {
	char *label;
	char *words[MAX_WORDS + 1];
	double *wall_us;
	double *rss_kib;
	int failures;
};

static struct command commands[MAX_COMMANDS];

static void
parse(struct command *c, char *text)
{
	char *eq = strchr(text, '='), *w;
	int n = 0;

	if (eq == NULL) {
		fprintf(stderr, "no LABEL= in: %s\n", text);
		exit(2);
	}
	*eq = '\0';
	c->label = text;
	for (w = strtok(eq + 1, " "); w != NULL && n < MAX_WORDS;
	     w = strtok(NULL, " "))
		c->words[n++] = w;
	c->words[n] = NULL;
}

/* Runs one program to the end; returns its peak RSS in KiB, or -1. */
static long
run_program(char **argv, int *failed)
{
	struct rusage ru;
	int status, null;
	pid_t pid = fork();

	if (pid == 0) {
		null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		execvp(argv[0], argv);
		_exit(127);
	}
	if (pid < 0 || wait4(pid, &status, 0, &ru) < 0) {
		perror("fork");
		exit(2);
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		*failed = 1;
	return ru.ru_maxrss;
}

static double
run_command(struct command *c, double *rss)
{
	struct timespec t0, t1;
	char **start = c->words, **w;
	int failed = 0;
	long peak = 0, r;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	for (w = c->words;; w++) {
		if (*w != NULL && strcmp(*w, ";") != 0)
			continue;
		char *saved = *w;
		*w = NULL;
		r = run_program(start, &failed);
		*w = saved;
		if (r > peak)
			peak = r;
		if (saved == NULL)
			break;
		start = w + 1;
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	c->failures += failed;
	*rss = (double)peak;
	return (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
}

static int
by_value(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return (x > y) - (x < y);
}

static double
median(double *v, int n)
{
	qsort(v, n, sizeof(*v), by_value);
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int
main(int argc, char *argv[])
{
	int rounds, n = argc - 2, r, i;

	if (argc < 3 || (rounds = atoi(argv[1])) < 1 || n > MAX_COMMANDS) {
		fputs("usage: pondrel_bench_runner ROUNDS 'LABEL=cmd' ...\n",
		      stderr);
		return 2;
	}
	for (i = 0; i < n; i++) {
		parse(&commands[i], argv[i + 2]);
		commands[i].wall_us = calloc(rounds, sizeof(double));
		commands[i].rss_kib = calloc(rounds, sizeof(double));
	}
	/* One untimed round first: page cache and dentries warm for all. */
	for (i = 0; i < n; i++) {
		double rss;
		run_command(&commands[i], &rss);
		commands[i].failures = 0;
	}
	for (r = 0; r < rounds; r++)
		for (i = 0; i < n; i++) {
			struct command *c = &commands[(r + i) % n];
			c->wall_us[r] = run_command(c, &c->rss_kib[r]);
		}
	for (i = 0; i < n; i++) {
		struct command *c = &commands[i];
		double med = median(c->wall_us, rounds);
		printf("%s\t%.0f\t%.0f\t%.0f\t%.0f\t%d\n", c->label, med,
		       c->wall_us[0], c->wall_us[rounds - 1],
		       median(c->rss_kib, rounds), c->failures);
	}
	return 0;
}
