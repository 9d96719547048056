// Interleaves two pondrel runs on one interface at a chosen point: the first
// run is held, by tracing it, right after its K-th request has been sent;
// the second runs whole; then the first goes on. On a one-CPU kernel two runs
// started together rarely overlap by chance, so this forces each overlap.
//
//   uml_race K PONDREL IFNAME ING1 EG1 ERR1 ING2 EG2 ERR2
//
// Each run's standard error goes to its file. Prints both exit statuses
// ("-1" for a run killed by a signal) and "held", or "ended" when the first
// run finished before its K-th request.
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

// Runs the traced child until it returns from its k-th sendmsg. False when
// it ended first (it sent fewer requests), with its exit status in *ended.
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
		if (regs.orig_rax == SYS_sendmsg && --k == 0)
			return true;
	}
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc != 10) {
		fputs("usage: uml_race K PONDREL IFNAME ING1 EG1 ERR1 ING2 EG2 "
		      "ERR2\n",
		      stderr);
		return 2;
	}
	int k = atoi(argv[1]);
	char *first[] = {argv[2], argv[3], argv[4], argv[5], nullptr};
	char *second[] = {argv[2], argv[3], argv[7], argv[8], nullptr};

	pid_t one = start(first, argv[6], true);
	int status_one = -1;
	bool held = hold_after_requests(one, k, &status_one);
	int status_two = exit_status(start(second, argv[9], false));
	if (held) {
		if (ptrace(PTRACE_DETACH, one, nullptr, nullptr) < 0)
			die("PTRACE_DETACH");
		status_one = exit_status(one);
	}
	printf("%d %d %s\n", status_one, status_two, held ? "held" : "ended");
	return 0;
}
