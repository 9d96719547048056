/*
 * The floor of the benchmark: the least any program can do for the run that
 * pondrel makes. It resolves the interface's index, reads the scheduler
 * clock, sends prebuilt requests (the very bytes pondrel sends) on a raw
 * route netlink socket and waits for each acknowledgement. Nothing else.
 *
 * One source, three builds (bench/CMakeLists.txt): linked dynamically
 * against glibc, the yardstick of the builds that load libraries; linked
 * statically against musl; and with FLOOR_RAW, on bare x86-64 system calls
 * without any C library. The two static ones are the yardsticks of the
 * static pondrel, and the faster of them counts.
 */
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <asm/unistd.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

/* floor_bytes, floor_lengths, floor_tolerant: generated from the images. */
#include "floor_requests.h"

#ifdef FLOOR_RAW
static long
sys(long n, long a, long b, long c, long d, long e, long f)
{
	long ret;
	register long r10 __asm__("r10") = d;
	register long r8 __asm__("r8") = e;
	register long r9 __asm__("r9") = f;

	__asm__ volatile("syscall"
			 : "=a"(ret)
			 : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8),
			   "r"(r9)
			 : "rcx", "r11", "memory");
	return ret;
}
/* The kernel's own convention: -errno on failure. */
#define OS(n, a, b, c, d) sys(n, (long)(a), (long)(b), (long)(c), (long)(d), 0, 0)
#define FAILED(r) ((unsigned long)(r) > -4096UL)
#define open_ro(path) OS(__NR_open, path, O_RDONLY | O_CLOEXEC, 0, 0)
#define read_fd(fd, buf, n) OS(__NR_read, fd, buf, n, 0)
#define close_fd(fd) OS(__NR_close, fd, 0, 0, 0)
#define route_socket() \
	OS(__NR_socket, AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE, 0)
#define index_of(fd, ifr) OS(__NR_ioctl, fd, SIOCGIFINDEX, ifr, 0)
#define send_fd(fd, buf, n) sys(__NR_sendto, fd, (long)(buf), n, 0, 0, 0)
#define recv_fd(fd, buf, n) sys(__NR_recvfrom, fd, (long)(buf), n, 0, 0, 0)

static void
say(const char *text)
{
	long n = 0;

	while (text[n] != '\0')
		n++;
	OS(__NR_write, 2, text, n, 0);
}

int main(int argc, char *argv[]);

void __attribute__((used, noreturn))
floor_start(long *sp)
{
	OS(__NR_exit_group, main((int)sp[0], (char **)(sp + 1)), 0, 0, 0);
	for (;;)
		;
}
__asm__(".globl _start\n_start:\n\txor %ebp, %ebp\n\tmov %rsp, %rdi\n"
	"\tand $-16, %rsp\n\tcall floor_start\n\thlt\n");
#else
#include <unistd.h>
#define FAILED(r) ((r) < 0)
#define open_ro(path) open(path, O_RDONLY | O_CLOEXEC)
#define read_fd(fd, buf, n) read(fd, buf, n)
#define close_fd(fd) close(fd)
#define route_socket() socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)
#define index_of(fd, ifr) ioctl(fd, SIOCGIFINDEX, ifr)
#define send_fd(fd, buf, n) send(fd, buf, n, 0)
#define recv_fd(fd, buf, n) recv(fd, buf, n, 0)

static void
say(const char *text)
{
	size_t n = 0;

	while (text[n] != '\0')
		n++;
	if (write(2, text, n) < 0)
		return;
}
#endif

/* The clock's first three words, in hex; the floor must read them too. */
static int
read_psched(void)
{
	char text[64];
	long fd = open_ro("/proc/net/psched"), n, i;
	int words = 0, digits = 0;

	if (FAILED(fd))
		return 0;
	n = read_fd(fd, text, sizeof(text));
	close_fd(fd);
	for (i = 0; i < n && words < 3; i++) {
		char c = text[i];

		if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
			digits++;
		else if (digits > 0) {
			words++;
			digits = 0;
		}
	}
	return words == 3;
}

int
main(int argc, char *argv[])
{
	/* Only the header and the error code are read: the rest is cut off. */
	char answer[64];
	struct ifreq ifr;
	unsigned int i, at = 0;
	long fd;
	int failed = 0;

	if (argc != 2) {
		say("usage: pondrel_floor <existing interface>\n");
		return 1;
	}
	/* The route socket answers the device ioctls too: one socket for all. */
	fd = route_socket();
	if (FAILED(fd)) {
		say("socket failed\n");
		return 1;
	}
	for (i = 0; i < IFNAMSIZ - 1 && argv[1][i] != '\0'; i++)
		ifr.ifr_name[i] = argv[1][i];
	ifr.ifr_name[i] = '\0';
	if (FAILED(index_of(fd, &ifr))) {
		say("no such interface\n");
		return 1;
	}
	if (!read_psched()) {
		say("error reading /proc/net/psched\n");
		return 1;
	}
	for (i = 0; i < sizeof(floor_lengths) / sizeof(floor_lengths[0]); i++) {
		struct nlmsghdr *req = (struct nlmsghdr *)(floor_bytes + at);
		struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(req);
		struct nlmsghdr *ack = (struct nlmsghdr *)answer;
		struct nlmsgerr *err = (struct nlmsgerr *)NLMSG_DATA(ack);

		at += floor_lengths[i];
		req->nlmsg_seq = i + 1;
		tcm->tcm_ifindex = ifr.ifr_ifindex;
		if (FAILED(send_fd(fd, req, req->nlmsg_len)) ||
		    FAILED(recv_fd(fd, answer, sizeof(answer)))) {
			say("netlink exchange failed\n");
			return 1;
		}
		/* As in the tool: a missing qdisc is nothing to remove. */
		if (ack->nlmsg_type == NLMSG_ERROR && err->error != 0 &&
		    !(floor_tolerant[i] &&
		      (err->error == -ENOENT || err->error == -EINVAL))) {
			say("the kernel refused a request\n");
			failed = 1;
		}
	}
	close_fd(fd);
	return failed;
}
