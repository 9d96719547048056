// Exchange failures the kernel will not produce on demand. This executable
// defines the library's send and wait itself; the dynamic linker prefers an
// executable's symbols, so send_and_wait calls these instead.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>

#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <netlink/errno.h>

#include <gmock/gmock.h>
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

const fault_case cases[] = {
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
		EXPECT_EQ(ack_error_handler(nullptr, &e, nullptr), NL_STOP);
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
	int err;
	const char *report;
};

TEST(SetupFaults, EachSetupFailureIsFatalWithItsReport)
{
	GTEST_FLAG_SET(death_test_style, "fast");
	const setup_case cases[] = {
	    {CB_ALLOC, ENOMEM,
	     "varnic: error: nl_cb_alloc: Cannot allocate memory\n"},
	    {SOCKET_ALLOC, ENOMEM,
	     "varnic: error: nl_socket_alloc: Cannot allocate memory\n"},
	    {CONNECT, EPROTONOSUPPORT,
	     "varnic: error: nl_connect: Protocol not supported\n"},
	    {CONNECT, 0, "varnic: error: nl_connect\n"},
	    {MSG_ALLOC, ENOMEM,
	     "varnic: error: nlmsg_alloc_simple: Cannot allocate memory\n"},
	};
	for (const auto &c : cases) {
		failing_step = c.step;
		failing_errno = c.err;
		// A first try says nothing and leaves the report to the set-up.
		EXPECT_EXIT(
		    {
			    try_route_socket();
			    open_route_socket();
			    new_tc_request(RTM_DELQDISC, 0, TC_H_ROOT, 0, 0);
			    _exit(0);
		    },
		    testing::ExitedWithCode(1), testing::Eq(c.report))
		    << c.report;
	}
	failing_step = NO_FAILURE;
}

TEST(ExchangeFaults, EveryFailedExchangeIsReportedAndCounted)
{
	for (const auto &c : cases) {
		current = &c;
		waits = 0;
		failed_requests = 0;
		testing::internal::CaptureStderr();
		bool ok = send_and_wait(
		    new_tc_request(RTM_DELQDISC, 0, TC_H_ROOT, 0, 0),
		    c.tolerate);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(ok, c.ok) << c.what;
		EXPECT_EQ(failed_requests, c.ok ? 0 : 1) << c.what;
		EXPECT_EQ(waits, c.waits) << c.what;
		std::string want =
		    c.reported ? std::string("varnic: error: netlink: ") +
				     strerror(c.reported) + "\n"
			       : "";
		EXPECT_EQ(err, want) << c.what;
	}
}

} // namespace
