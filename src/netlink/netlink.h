/* Netlink requests: the route socket, the request envelope and the exchange. */
#pragma once

#include <stdint.h>

#include <netlink/netlink.h>
#include <netlink/msg.h>
#include <netlink/attr.h>

/* Written once by main before any request is built; every tcmsg carries it. */
extern int target_ifindex;

/* Requests refused or never exchanged; any of them makes the exit 1. */
extern int failed_requests;

void open_route_socket(void);
void close_route_socket(void);

struct nl_msg *new_tc_request(int type, int flags, uint32_t parent,
			      uint32_t handle, uint32_t info);
void add_kind(struct nl_msg *msg, const char *kind);
struct nlattr *open_nest(struct nl_msg *msg, int type);
void close_nest(struct nl_msg *msg, struct nlattr *nest);

bool send_and_wait(struct nl_msg *msg, bool tolerate);
int ack_error_handler(struct sockaddr_nl *peer, struct nlmsgerr *err,
		      void *arg);
