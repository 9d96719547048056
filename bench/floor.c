/*
 * The floor of the benchmark: the least any program can do for the run that
 * pondrel makes. It resolves the interface's index, reads the scheduler
 * clock, sends prebuilt requests (the very bytes pondrel sends) on a raw
 * route netlink socket and waits for each acknowledgement. Nothing else.
 * With a second name, the IFB's, it replays a second shaped run instead
 * (`pondrel --shape IF 5000 5000` once the IFB exists) and resolves both.
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

/*
 * plain_* and shaped_*: bytes, lengths, tolerance and where the indexes go,
 * generated from the test suite's images.
 */
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

/* The index of a device by name, asked on the route socket; 0 if none. */
static int
index_of_name(long fd, const char *name)
{
	struct ifreq ifr;
	unsigned int i;

	for (i = 0; i < IFNAMSIZ - 1 && name[i] != '\0'; i++)
		ifr.ifr_name[i] = name[i];
	ifr.ifr_name[i] = '\0';
	if (FAILED(index_of(fd, &ifr)))
		return 0;
	return ifr.ifr_ifindex;
}

int
main(int argc, char *argv[])
{
	/* Only the header and the error code are read: the rest is cut off. */
	char answer[64];
	int shaped = argc == 3, iface, ifb = 0, failed = 0;
	unsigned char *bytes = shaped ? shaped_bytes : plain_bytes;
	const unsigned int *lengths = shaped ? shaped_lengths : plain_lengths;
	const unsigned char *tolerant = shaped ? shaped_tolerant : plain_tolerant;
	const unsigned char *on_ifb = shaped ? shaped_on_ifb : plain_on_ifb;
	const unsigned int *ifb_at = shaped ? shaped_ifb_at : plain_ifb_at;
	unsigned int i, count, at = 0;
	long fd;

	count = shaped ? sizeof(shaped_lengths) / sizeof(shaped_lengths[0])
		       : sizeof(plain_lengths) / sizeof(plain_lengths[0]);
	if (argc != 2 && argc != 3) {
		say("usage: pondrel_floor <interface> [<its IFB>]\n");
		return 1;
	}
	/* The route socket answers the device ioctls too: one socket for all. */
	fd = route_socket();
	if (FAILED(fd)) {
		say("socket failed\n");
		return 1;
	}
	iface = index_of_name(fd, argv[1]);
	if (shaped)
		ifb = index_of_name(fd, argv[2]);
	if (iface == 0 || (shaped && ifb == 0)) {
		say("no such interface\n");
		return 1;
	}
	if (!read_psched()) {
		say("error reading /proc/net/psched\n");
		return 1;
	}
	for (i = 0; i < count; i++) {
		struct nlmsghdr *req = (struct nlmsghdr *)(bytes + at);
		int *index = (int *)((char *)NLMSG_DATA(req) + 4);
		struct nlmsghdr *ack = (struct nlmsghdr *)answer;
		struct nlmsgerr *err = (struct nlmsgerr *)NLMSG_DATA(ack);

		at += lengths[i];
		req->nlmsg_seq = i + 1;
		/* tcm_ifindex and ifi_index alike sit 4 bytes into the body. */
		*index = on_ifb[i] ? ifb : iface;
		if (ifb_at[i] != 0)
			*(int *)((char *)req + ifb_at[i]) = ifb;
		if (FAILED(send_fd(fd, req, req->nlmsg_len)) ||
		    FAILED(recv_fd(fd, answer, sizeof(answer)))) {
			say("netlink exchange failed\n");
			return 1;
		}
		/* As in the tool: a missing qdisc is nothing to remove. */
		if (ack->nlmsg_type == NLMSG_ERROR && err->error != 0 &&
		    !(tolerant[i] &&
		      (err->error == -ENOENT || err->error == -EINVAL))) {
			say("the kernel refused a request\n");
			failed = 1;
		}
	}
	close_fd(fd);
	return failed;
}
