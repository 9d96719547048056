#include "tests/common/run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

static void
drain(int out_fd, int err_fd, run_result &r)
{
	struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
	std::string *dest[2] = {&r.out, &r.err};
	int open_fds = 2;
	char buf[4096];

	while (open_fds > 0) {
		if (poll(fds, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			ssize_t n = read(fds[i].fd, buf, sizeof(buf));
			if (n > 0) {
				dest[i]->append(buf, (size_t)n);
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
}

run_result
run_command(const std::vector<std::string> &argv)
{
	run_result r{-1, "", ""};
	int out[2], err[2];

	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
		ADD_FAILURE() << "pipe: " << strerror(errno);
		return r;
	}
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		dup2(out[1], 1);
		dup2(err[1], 2);
		execvp(args[0], args.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	drain(out[0], err[0], r);
	int status = 0;
	waitpid(pid, &status, 0);
	r.status = WIFEXITED(status) ? WEXITSTATUS(status)
				     : 128 + WTERMSIG(status);
	return r;
}

run_result
run_shell(const std::string &line)
{
	return run_command({"/bin/sh", "-c", line});
}

void
enter_private_netns()
{
	ASSERT_EQ(unshare(CLONE_NEWNET), 0)
	    << "unshare(CLONE_NEWNET): " << strerror(errno)
	    << " (these tests need root and network namespaces)";
	run_result up = run_shell("ip link set lo up");
	ASSERT_EQ(up.status, 0) << up.err;
}

void
make_veth_pair(const char *name, const char *peer)
{
	std::string n(name), p(peer);
	run_result r = run_shell("ip link add " + n + " type veth peer name " +
				 p + " && ip link set " + n + " up && " +
				 "ip link set " + p + " up");
	ASSERT_EQ(r.status, 0) << "veth pair: " << r.err;
}

std::string
copy_for_any_user(const char *path)
{
	char dir[] = "/tmp/pondrel-any-XXXXXX";
	if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0) {
		ADD_FAILURE() << "mkdtemp: " << strerror(errno);
		return path;
	}
	std::string copy = std::string(dir) + "/pondrel";
	run_result r = run_command({"install", "-m", "0755", path, copy});
	EXPECT_EQ(r.status, 0) << r.err;
	return copy;
}

std::string
read_file(const std::string &path)
{
	std::string s;
	char buf[4096];
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return s;
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0)
		s.append(buf, (size_t)n);
	close(fd);
	return s;
}

std::string
libc_text(int err)
{
	run_result r = run_command({PONDREL_STRERROR, std::to_string(err)});
	EXPECT_EQ(r.status, 0) << PONDREL_STRERROR << ": " << r.err;
	if (!r.out.empty() && r.out.back() == '\n')
		r.out.pop_back();
	EXPECT_FALSE(r.out.empty()) << PONDREL_STRERROR << " gave no text";
	return r.out;
}
