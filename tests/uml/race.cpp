// Interleaves two pondrel runs on one interface at a chosen point: the first
// run is held, by tracing it, right after its K-th request has been sent;
// then the second starts. Runs on one interface wait for each other, so the
// second must wait, as /proc/locks shows, until the first goes on and ends.
// With --kill the first is killed where it is held instead, as a reboot or
// an OOM kill would, and the second then runs whole.
//
//   uml_race [--kill] K ERR1 ERR2 PONDREL ARGS1... -- ARGS2...
//
// Without ARGS2 only the first runs. Each run's standard error goes to its
// file. Prints both exit statuses
// ("-1" for a run killed by a signal), "held", or "ended" when the first
// run finished before its K-th request, and then how the second met the
// first: "waited", "overlapped" (it ended while the first was held) or
// "alone".
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

[[noreturn]] void
die(const char *what)
{
	fprintf(stderr, "uml_race: %s: %s\n", what, strerror(errno));
	exit(2);
}

pid_t
start(char **argv, const char *errfile, bool traced)
{
	pid_t pid = fork();
	if (pid < 0)
		die("fork");
	if (pid > 0)
		return pid;
	int fd = open(errfile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0 || dup2(fd, 2) < 0)
		_exit(126);
	if (traced) {
		ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		raise(SIGSTOP); // lets the tracer set its options first
	}
	execv(argv[0], argv);
	_exit(127);
}

int
exit_status(pid_t pid)
{
	int status;
	if (waitpid(pid, &status, 0) < 0)
		die("waitpid");
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the traced child until it returns from sending its k-th request, by
// sendto or sendmsg. False when it ended first (it sent fewer requests),
// with its exit status in *ended.
bool
hold_after_requests(pid_t pid, int k, int *ended)
{
	int status;
	bool in_call = false;
	if (waitpid(pid, &status, 0) < 0 || !WIFSTOPPED(status))
		die("first stop");
	if (ptrace(PTRACE_SETOPTIONS, pid, nullptr,
		   reinterpret_cast<void *>(PTRACE_O_TRACESYSGOOD)) < 0)
		die("PTRACE_SETOPTIONS");
	int sig = 0;
	for (;;) {
		if (ptrace(PTRACE_SYSCALL, pid, nullptr,
			   reinterpret_cast<void *>(static_cast<long>(sig))) <
		    0)
			die("PTRACE_SYSCALL");
		if (waitpid(pid, &status, 0) < 0)
			die("waitpid");
		if (WIFEXITED(status) || WIFSIGNALED(status)) {
			*ended = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
			return false;
		}
		sig = 0;
		if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
			if (WSTOPSIG(status) != SIGTRAP &&
			    WSTOPSIG(status) != SIGSTOP)
				sig = WSTOPSIG(status); // deliver it as is
			continue;
		}
		in_call = !in_call;
		if (in_call)
			continue;
		struct user_regs_struct regs;
		if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) < 0)
			die("PTRACE_GETREGS");
		if ((regs.orig_rax == SYS_sendto ||
		     regs.orig_rax == SYS_sendmsg) &&
		    --k == 0)
			return true;
	}
}

// Whether pid waits for a lock: the kernel lists each waiter in
// /proc/locks behind "->", with its pid.
bool
waits_for_lock(pid_t pid)
{
	char line[256], want[32];
	bool found = false;
	FILE *f = fopen("/proc/locks", "r");
	if (f == nullptr)
		die("/proc/locks");
	snprintf(want, sizeof(want), " %d ", static_cast<int>(pid));
	while (fgets(line, sizeof(line), f) != nullptr)
		if (strstr(line, "->") != nullptr && strstr(line, want) != nullptr)
			found = true;
	fclose(f);
	return found;
}

// Until the second run either waits for the lock or ends; the watchdog of
// the suite that runs this judges a hang.
const char *
meet(pid_t two, int *status_two)
{
	int status;
	for (;;) {
		pid_t got = waitpid(two, &status, WNOHANG);
		if (got < 0)
			die("waitpid");
		if (got == two) {
			*status_two = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
			return "overlapped";
		}
		if (waits_for_lock(two))
			return "waited";
		usleep(1000);
	}
}

} // namespace

int
main(int argc, char *argv[])
{
	bool kill_first = argc > 1 && strcmp(argv[1], "--kill") == 0;
	int a = kill_first ? 2 : 1;
	if (argc < a + 6) {
		fputs("usage: uml_race [--kill] K ERR1 ERR2 PONDREL ARGS1... -- "
		      "ARGS2...\n",
		      stderr);
		return 2;
	}
	int k = atoi(argv[a]);
	const char *err1 = argv[a + 1], *err2 = argv[a + 2];
	char *pondrel = argv[a + 3];
	std::vector<char *> first{pondrel}, second{pondrel};
	int i = a + 4;
	for (; i < argc && strcmp(argv[i], "--") != 0; i++)
		first.push_back(argv[i]);
	for (i++; i < argc; i++)
		second.push_back(argv[i]);
	first.push_back(nullptr);
	second.push_back(nullptr);

	pid_t one = start(first.data(), err1, true);
	int status_one = -1, status_two = -1;
	bool held = hold_after_requests(one, k, &status_one);
	const char *how = "alone";
	if (held && kill_first) {
		kill(one, SIGKILL);
		status_one = exit_status(one);
	}
	// No ARGS2: only the first, killed, and what it left.
	if (second.size() == 2) {
		printf("%d - %s alone\n", status_one, held ? "held" : "ended");
		return 0;
	}
	pid_t two = start(second.data(), err2, false);
	if (held && !kill_first) {
		how = meet(two, &status_two);
		if (ptrace(PTRACE_DETACH, one, nullptr, nullptr) < 0)
			die("PTRACE_DETACH");
		status_one = exit_status(one);
	}
	if (strcmp(how, "overlapped") != 0)
		status_two = exit_status(two);
	printf("%d %d %s %s\n", status_one, status_two,
	       held ? "held" : "ended", how);
	return 0;
}
