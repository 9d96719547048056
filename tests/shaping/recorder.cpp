// Linked in place of the real exchange, so the shaping code under test
// builds its requests exactly as a run does.
#include "tests/shaping/recorder.h"

#include "src/netlink/netlink.h"

std::vector<recorded_request> recorded;
std::vector<bool> answers;

void
reset_recorder()
{
	recorded.clear();
	answers.clear();
	recorded_failures = 0;
}

int recorded_failures;

bool
request_failed(int err)
{
	(void)err;
	recorded_failures++;
	return false;
}

bool
send_and_wait(struct nl_msg *msg, bool tolerate)
{
	struct nlmsghdr *hdr = nlmsg_hdr(msg);
	const uint8_t *body = static_cast<const uint8_t *>(nlmsg_data(hdr));
	size_t n = recorded.size();

	recorded.push_back({hdr->nlmsg_type, hdr->nlmsg_flags, hdr->nlmsg_len,
			    tolerate,
			    byte_image(body, body + nlmsg_datalen(hdr))});
	nlmsg_free(msg);
	return n < answers.size() ? answers[n] : true;
}
