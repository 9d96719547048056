// Exchange failures the kernel will not produce on demand. This executable
// defines the library's send and wait itself; the dynamic linker prefers an
// executable's symbols, so send_and_wait calls these instead.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>

#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <netlink/errno.h>

#include <gtest/gtest.h>

#include "src/netlink/netlink.h"

namespace {

struct fault_case {
	const char *what;
	bool tolerate;
	int send_result;
	int send_errno;
	int kernel_error; // 0: the wait sees a plain acknowledgement or none
	int wait_result;
	int wait_errno;
	bool ok;
	int reported;
	int waits;
};

const fault_case *current;
int waits;
// The session in flight, which the kernel's error handler is given, and
// what its exchange reported: a line of "what errno" each.
struct nl_session *session;
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

const fault_case faults[] = {
    {"plain acknowledgement", false, 36, 0, 0, 0, 0, true, 0, 1},
    {"failed send is reported and not waited for", false, -NLE_BAD_SOCK,
     EBADF, 0, 0, 0, false, EBADF, 0},
    {"failed send without errno still fails", true, -NLE_FAILURE, 0, 0, 0,
     0, false, EIO, 0},
    {"failed receive is no success", false, 36, 0, 0, -NLE_NOMEM, ENOBUFS,
     false, ENOBUFS, 1},
    {"tolerated kernel error ends the wait with a library error", true, 36,
     0, -ENOENT, -NLE_OBJ_NOTFOUND, 0, true, 0, 1},
    {"kernel error wins over the wait's own result", false, 36, 0, -EPERM,
     -NLE_PERM, 0, false, EPERM, 1},
};

} // namespace

extern "C" int
nl_send_auto_complete(struct nl_sock *, struct nl_msg *)
{
	errno = current->send_errno;
	return current->send_result;
}

extern "C" int
nl_wait_for_ack(struct nl_sock *)
{
	waits++;
	if (current->kernel_error != 0) {
		struct nlmsgerr e;
		memset(&e, 0, sizeof(e));
		e.error = current->kernel_error;
		EXPECT_EQ(ack_error_handler(nullptr, &e, session), NL_STOP);
	}
	errno = current->wait_errno;
	return current->wait_result;
}

// Set-up calls fail on demand; otherwise they pass through to the library.
enum setup_step { NO_FAILURE, CB_ALLOC, SOCKET_ALLOC, CONNECT, MSG_ALLOC };
static setup_step failing_step = NO_FAILURE;
static int failing_errno;

template <typename F>
static F
real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" struct nl_cb *
nl_cb_alloc(enum nl_cb_kind kind)
{
	if (failing_step == CB_ALLOC) {
		errno = failing_errno;
		return nullptr;
	}
	return real<struct nl_cb *(*)(enum nl_cb_kind)>("nl_cb_alloc")(kind);
}

extern "C" struct nl_sock *
nl_socket_alloc_cb(struct nl_cb *cb)
{
	if (failing_step == SOCKET_ALLOC) {
		errno = failing_errno;
		return nullptr;
	}
	return real<struct nl_sock *(*)(struct nl_cb *)>("nl_socket_alloc_cb")(
	    cb);
}

extern "C" int
nl_connect(struct nl_sock *sk, int protocol)
{
	if (failing_step == CONNECT) {
		errno = failing_errno;
		return -NLE_FAILURE;
	}
	return real<int (*)(struct nl_sock *, int)>("nl_connect")(sk, protocol);
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
	    {CB_ALLOC, {"nl_cb_alloc", ENOMEM}},
	    {SOCKET_ALLOC, {"nl_socket_alloc", ENOMEM}},
	    {CONNECT, {"nl_connect", EPROTONOSUPPORT}},
	    {CONNECT, {"nl_connect", 0}},
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
	for (const auto &c : faults) {
		current = &c;
		waits = 0;
		reported.clear();
		nl_session nl;
		nl.report = record_report;
		session = &nl;
		bool ok = send_and_wait(nl, removal(), c.tolerate);
		EXPECT_EQ(ok, c.ok) << c.what;
		EXPECT_EQ(nl.failed, c.ok ? 0 : 1) << c.what;
		EXPECT_EQ(waits, c.waits) << c.what;
		std::string want = "netlink " + std::to_string(c.reported) + "\n";
		EXPECT_EQ(reported, c.reported ? want : "") << c.what;
	}
}

} // namespace
