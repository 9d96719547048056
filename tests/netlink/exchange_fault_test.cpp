// Exchange failures the kernel will not produce on demand. This executable
// defines the C library's socket, send and recv itself; the exchange, linked
// in statically, calls these instead.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <gtest/gtest.h>

#include "src/netlink/netlink.h"

namespace {

struct fault_case {
	const char *what;
	bool tolerate;
	int send_result; // -1: fails with send_errno; 0: sends the whole
			 // request
	int send_errno;
	int recv_failures; // receives that fail with recv_errno, first
	int recv_errno;
	bool
	    stale_first; // an earlier request's refusal comes before the answer
	bool truncated;  // the answer is larger than the buffer it is read into
	int kernel_error; // the answer's: 0 is a plain acknowledgement
	bool ok;
	int reported;
	int waits;
};

const fault_case faults[] = {
    {"plain acknowledgement", false, 0, 0, 0, 0, false, false, 0, true, 0, 1},
    {"failed send is reported and not waited for", false, -1, EBADF, 0, 0,
     false, false, 0, false, EBADF, 0},
    {"failed send without errno still fails", true, -1, 0, 0, 0, false, false,
     0, false, EIO, 0},
    {"a request sent in part is no request", false, 20, 0, 0, 0, false, false,
     0, false, EIO, 0},
    {"failed receive is no success", false, 0, 0, 1, ENOBUFS, false, false, 0,
     false, ENOBUFS, 1},
    {"an interrupted receive is read again", false, 0, 0, 1, EINTR, false,
     false, 0, true, 0, 2},
    {"a socket that closes is no success", false, 0, 0, 1, 0, false, false, 0,
     false, EIO, 1},
    {"an earlier request's answer is passed over", false, 0, 0, 0, 0, true,
     false, 0, true, 0, 2},
    {"an answer cut short is refused", false, 0, 0, 0, 0, false, true, 0, false,
     EMSGSIZE, 1},
    {"tolerated kernel error is success", true, 0, 0, 0, 0, false, false,
     -ENOENT, true, 0, 1},
    {"untolerated, the same error is reported", false, 0, 0, 0, 0, false, false,
     -ENOENT, false, ENOENT, 1},
    {"other kernel errors are reported even when tolerant", true, 0, 0, 0, 0,
     false, false, -EPERM, false, EPERM, 1},
};

const fault_case *current;
int waits;
uint32_t sent_seq;
// What the exchange reported: a line of "what errno" each.
std::string reported;

void
record_report(const char *what, int err)
{
	reported += std::string(what) + " " + std::to_string(err) + "\n";
}

// A request that only the stand-ins below ever see.
nl_request
removal()
{
	return new_tc_request(1, RTM_DELQDISC, 0, TC_H_ROOT, 0, 0);
}

} // namespace

extern "C" ssize_t
send(int fd, const void *buf, size_t len, int flags)
{
	(void)fd;
	(void)flags;
	sent_seq = ((const struct nlmsghdr *)buf)->nlmsg_seq;
	errno = current->send_errno;
	return current->send_result != 0 ? current->send_result : (ssize_t)len;
}

// The kernel's answer to the request in flight, as the case has it.
extern "C" ssize_t
recv(int fd, void *buf, size_t len, int flags)
{
	struct {
		struct nlmsghdr hdr;
		struct nlmsgerr err;
	} answer;
	(void)fd;
	(void)flags;

	waits++;
	if (waits <= current->recv_failures) {
		errno = current->recv_errno;
		return current->recv_errno != 0 ? -1 : 0;
	}
	memset(&answer, 0, sizeof(answer));
	answer.hdr.nlmsg_len = sizeof(answer);
	answer.hdr.nlmsg_type = NLMSG_ERROR;
	answer.hdr.nlmsg_seq = sent_seq;
	answer.err.error = current->kernel_error;
	if (current->stale_first && waits == 1) {
		answer.hdr.nlmsg_seq = sent_seq - 1;
		answer.err.error = -EPERM;
	}
	EXPECT_GE(len, sizeof(answer));
	memcpy(buf, &answer, sizeof(answer));
	return current->truncated ? (ssize_t)len + 1 : (ssize_t)sizeof(answer);
}

// Set-up calls fail on demand; otherwise they pass through to the library.
enum setup_step { NO_FAILURE, SOCKET, MSG_ALLOC };
static setup_step failing_step = NO_FAILURE;
static int failing_errno;

template <typename F>
static F
real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" int
socket(int domain, int type, int protocol)
{
	if (failing_step == SOCKET) {
		errno = failing_errno;
		return -1;
	}
	return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
}

extern "C" struct nl_msg *
nlmsg_alloc_simple(int type, int flags)
{
	if (failing_step == MSG_ALLOC) {
		errno = failing_errno;
		return nullptr;
	}
	return real<struct nl_msg *(*)(int, int)>("nlmsg_alloc_simple")(type,
									 flags);
}

namespace {

struct setup_case {
	setup_step step;
	struct failure want;
};

TEST(SetupFaults, EachSetupFailureNamesItsStep)
{
	const setup_case cases[] = {
	    {SOCKET, {"nl_connect", EPROTONOSUPPORT}},
	    {SOCKET, {"nl_connect", EAFNOSUPPORT}},
	    {MSG_ALLOC, {"nlmsg_alloc_simple", ENOMEM}},
	};
	current = &faults[0];
	for (const auto &c : cases) {
		failing_step = c.step;
		failing_errno = c.want.err;
		reported.clear();
		nl_session nl;
		nl.report = record_report;
		// A first try leaves no socket, and the failure to the set-up.
		try_route_socket(nl);
		struct failure f = open_route_socket(nl);
		if (c.step == MSG_ALLOC) {
			EXPECT_EQ(f.what, nullptr);
			EXPECT_FALSE(send_and_wait(nl, removal(), false));
			EXPECT_EQ(nl.failed, 1);
			// Nothing goes out after it, a message that was had too.
			failing_step = NO_FAILURE;
			EXPECT_FALSE(send_and_wait(nl, removal(), false));
			f = nl.fatal;
		}
		EXPECT_STREQ(f.what, c.want.what) << c.want.what;
		EXPECT_EQ(f.err, c.want.err) << c.want.what;
		EXPECT_EQ(reported, "") << c.want.what;
	}
	failing_step = NO_FAILURE;
}

TEST(ExchangeFaults, EveryFailedExchangeIsReportedAndCounted)
{
	for (bool capped : {true, false}) {
		for (const auto &c : faults) {
			current = &c;
			waits = 0;
			reported.clear();
			nl_session nl;
			nl.capped = capped;
			nl.report = record_report;
			bool ok = send_and_wait(nl, removal(), c.tolerate);
			EXPECT_EQ(ok, c.ok) << c.what;
			EXPECT_EQ(nl.failed, c.ok ? 0 : 1) << c.what;
			EXPECT_EQ(waits, c.waits) << c.what;
			std::string want =
			    "netlink " + std::to_string(c.reported) + "\n";
			EXPECT_EQ(reported, c.reported ? want : "") << c.what;
		}
	}
}

} // namespace
