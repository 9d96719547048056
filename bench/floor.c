/*
 * The floor of the benchmark: the least any tool can do for the run that
 * pondrel makes. It sends prebuilt requests (the same bytes pondrel sends)
 * on a raw route netlink socket and waits for each acknowledgement, with
 * nothing else: no library, no clock file, no dynamic loader.
 */
#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

/* floor_bytes, floor_lengths, floor_tolerant: generated from the images. */
#include "floor_requests.h"

int
main(int argc, char *argv[])
{
	static char answer[8192];
	unsigned int i, at = 0;
	int fd, ifindex, failed = 0;

	if (argc != 2 || (ifindex = if_nametoindex(argv[1])) == 0) {
		fputs("usage: pondrel_floor <existing interface>\n", stderr);
		return 1;
	}
	fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (fd < 0) {
		perror("socket");
		return 1;
	}
	for (i = 0; i < sizeof(floor_lengths) / sizeof(floor_lengths[0]); i++) {
		struct nlmsghdr *req = (struct nlmsghdr *)(floor_bytes + at);
		struct tcmsg *tcm = (struct tcmsg *)NLMSG_DATA(req);
		struct nlmsghdr *ack = (struct nlmsghdr *)answer;
		struct nlmsgerr *err = (struct nlmsgerr *)NLMSG_DATA(ack);

		at += floor_lengths[i];
		req->nlmsg_seq = i + 1;
		tcm->tcm_ifindex = ifindex;
		if (send(fd, req, req->nlmsg_len, 0) < 0 ||
		    recv(fd, answer, sizeof(answer), 0) < 0) {
			perror("netlink");
			return 1;
		}
		/* As in the tool: a missing qdisc is nothing to remove. */
		if (ack->nlmsg_type == NLMSG_ERROR && err->error != 0 &&
		    !(floor_tolerant[i] &&
		      (err->error == -ENOENT || err->error == -EINVAL))) {
			fprintf(stderr, "request %u: %s\n", i + 1,
			        strerror(-err->error));
			failed = 1;
		}
	}
	close(fd);
	return failed;
}
