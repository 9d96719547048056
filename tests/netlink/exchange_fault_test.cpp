// Exchange failures the kernel will not produce on demand. This executable
// defines the library's send and wait itself; the dynamic linker prefers an
// executable's symbols, so send_and_wait calls these instead.
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

namespace {

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
