// Runs pondrel once while listening on an nlmon device, then compares every
// request it sent, byte for byte after the netlink header, with the images
// the unit tests use, filled with the figures that the caller states. Meant
// for a kernel that has everything the tool needs: the user-mode kernel of
// tests/uml and the boards.
//
//   uml_wire_check NLMON PONDREL IFNAME INGRESS EGRESS IFB|- [WORD]...
//
// INGRESS and EGRESS are Kbit/s or "-", passed to pondrel as they are.
// With IFB, the name that the interface's IFB must have, the run is a
// shaped one (--shape); the IFB counts as made before when that name
// exists before the run; "-" is a plain run. A WORD --overhead N, --mpu N
// or --atm is passed on; the policer's record is expected to add 14 bytes
// when sysfs gives IFNAME the Ethernet type. The figures that each record
// must carry are known answers, not passed on and never worked out here:
//   police=RATE,TICKS                  the policer: bytes/s, its bucket
//   tbf=RATE,BURST,LIMIT,TICKS         a tbf, ingress's first when shaped
//   fq=TARGET,INTERVAL,LIMIT,MEMORY    the fair queue in the tbf before it
//   cake=RATE,ISOLATION,INGRESS,SPLIT,OVERHEAD,MPU,ATM  a new cake, ingress's
//                                      first; the run is then --cake
//   cake-change=...                    the same, changed in place
// with buckets in ticks at 15625000 a second, the scheduler's clock on
// every kernel that the suites boot.
// Exit status 0 only when pondrel succeeded and the wire holds exactly the
// expected requests.
#include <errno.h>
#include <inttypes.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <string>
#include <vector>

#include "tests/run/images.h"

namespace {

struct captured {
	nlmsghdr hdr;
	byte_image body;
};

[[noreturn]] void
die(const char *what)
{
	fprintf(stderr, "uml_wire_check: %s: %s\n", what, strerror(errno));
	exit(2);
}

// Bound before pondrel starts, so that no request can slip past.
int
open_capture(const char *nlmon)
{
	int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
	if (fd < 0)
		die("packet socket");
	sockaddr_ll addr;
	memset(&addr, 0, sizeof(addr));
	addr.sll_family = AF_PACKET;
	addr.sll_protocol = htons(ETH_P_ALL);
	addr.sll_ifindex = if_nametoindex(nlmon);
	if (addr.sll_ifindex == 0)
		die(nlmon);
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0)
		die("bind to the nlmon device");
	return fd;
}

// The tap copies each message as it is sent, so once pondrel has exited
// everything it sent is already queued here.
std::vector<captured>
drain(int fd, std::string &seen)
{
	std::vector<captured> requests;
	char line[96];
	std::vector<uint8_t> buf(65536);
	for (;;) {
		ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return requests;
		if (n < 0)
			die("recv");
		size_t len = static_cast<size_t>(n);
		for (size_t at = 0; at + sizeof(nlmsghdr) <= len;) {
			nlmsghdr h;
			memcpy(&h, &buf[at], sizeof(h));
			if (h.nlmsg_len < sizeof(h) || at + h.nlmsg_len > len)
				break;
			snprintf(line, sizeof(line),
				 "  type %u flags %#x port %u, %u bytes\n",
				 h.nlmsg_type, h.nlmsg_flags, h.nlmsg_pid,
				 h.nlmsg_len);
			seen += line;
			// The kernel's answers and notifications carry no
			// request flag; traffic control and the IFB's
			// links are ours.
			if ((h.nlmsg_flags & NLM_F_REQUEST) &&
			    ((h.nlmsg_type >= RTM_NEWQDISC &&
			      h.nlmsg_type <= RTM_GETTFILTER) ||
			     h.nlmsg_type == RTM_NEWLINK ||
			     h.nlmsg_type == RTM_DELLINK))
				requests.push_back(
				    {h, byte_image(&buf[at + sizeof(h)],
						   &buf[at + h.nlmsg_len])});
			at += NLMSG_ALIGN(h.nlmsg_len);
		}
	}
}

// The ticks that the stated figures count: 64 ns each, which
// /proc/net/psched gives as 1000 ns a microsecond and 64 ns a tick.
const double TICKS_PER_SECOND = 15625000.0;

void
check_clock()
{
	unsigned us = 0, tick = 0;
	FILE *f = fopen("/proc/net/psched", "r");
	if (f == nullptr || fscanf(f, "%x %x", &us, &tick) != 2 || us != 1000 ||
	    tick != 64)
		die("/proc/net/psched: not the 64 ns tick the figures count");
	fclose(f);
}

// The device's type as sysfs shows it: "1" for Ethernet.
std::string
read_type(const char *ifname)
{
	char type[16] = "";
	std::string path = std::string("/sys/class/net/") + ifname + "/type";
	FILE *f = fopen(path.c_str(), "r");
	if (f == nullptr)
		die(path.c_str());
	if (fscanf(f, "%15s", type) != 1)
		type[0] = '\0';
	fclose(f);
	return type;
}

// The device's address as sysfs prints it, aa:bb:cc:dd:ee:ff.
void
read_address(const char *ifname, uint8_t address[6])
{
	std::string path = std::string("/sys/class/net/") + ifname + "/address";
	FILE *f = fopen(path.c_str(), "r");
	if (f == nullptr)
		die(path.c_str());
	if (fscanf(f, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &address[0], &address[1],
		   &address[2], &address[3], &address[4], &address[5]) != 6)
		die(path.c_str());
	fclose(f);
}

std::string
hex(const byte_image &img, size_t from, size_t count)
{
	std::string s;
	char b[4];
	for (size_t i = from; i < img.size() && i < from + count; i++) {
		snprintf(b, sizeof(b), "%02x", img[i]);
		s += b;
	}
	return s;
}

size_t
first_difference(const byte_image &a, const byte_image &b)
{
	size_t i = 0;
	while (i < a.size() && i < b.size() && a[i] == b[i])
		i++;
	return i;
}

// The kernel's answers of traffic control, as they came, into a file: the
// dumps that the status tests decode without a kernel are kept this way.
int
record(int fd, const char *file, char *argv[])
{
	pid_t pid = fork();
	if (pid < 0)
		die("fork");
	if (pid == 0) {
		execv(argv[0], argv);
		_exit(127);
	}
	int status;
	if (waitpid(pid, &status, 0) < 0)
		die("waitpid");
	FILE *out = fopen(file, "wb");
	if (out == nullptr)
		die(file);
	std::vector<uint8_t> buf(65536);
	ssize_t n;
	while ((n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT)) > 0) {
		size_t len = static_cast<size_t>(n);
		for (size_t at = 0; at + sizeof(nlmsghdr) <= len;) {
			nlmsghdr h;
			memcpy(&h, &buf[at], sizeof(h));
			if (h.nlmsg_len < sizeof(h) || at + h.nlmsg_len > len)
				break;
			if (!(h.nlmsg_flags & NLM_F_REQUEST) &&
			    (h.nlmsg_type == RTM_NEWQDISC ||
			     h.nlmsg_type == RTM_NEWTFILTER))
				fwrite(&buf[at], 1, NLMSG_ALIGN(h.nlmsg_len),
				       out);
			at += NLMSG_ALIGN(h.nlmsg_len);
		}
	}
	fclose(out);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

} // namespace

int
main(int argc, char *argv[])
{
	// uml_wire_check --record NLMON FILE PROGRAM [ARG]...
	if (argc >= 5 && strcmp(argv[1], "--record") == 0)
		return record(open_capture(argv[2]), argv[3], argv + 4);
	if (argc < 7) {
		fputs("usage: uml_wire_check NLMON PONDREL IFNAME INGRESS "
		      "EGRESS IFB|- [WORD]...\n",
		      stderr);
		return 2;
	}
	check_clock();
	const char *ifb_name = strcmp(argv[6], "-") != 0 ? argv[6] : nullptr;
	std::vector<const char *> args{argv[2]};
	if (ifb_name != nullptr)
		args.push_back("--shape");
	framing_image framing;
	std::vector<police_figures> police;
	std::vector<tbf_figures> tbfs;
	std::vector<fair_queue_figures> fqs;
	std::vector<cake_figures> cakes;
	std::vector<bool> changes;
	bool framed = false;
	for (int i = 7; i < argc; i++) {
		uint32_t v[4];
		if (sscanf(argv[i], "police=%u,%u", &v[0], &v[1]) == 2) {
			police.push_back({v[0], v[1]});
		} else if (sscanf(argv[i], "tbf=%u,%u,%u,%u", &v[0], &v[1],
				  &v[2], &v[3]) == 4) {
			tbfs.push_back({v[0], v[1], v[2], v[3]});
		} else if (sscanf(argv[i], "fq=%u,%u,%u,%u", &v[0], &v[1],
				  &v[2], &v[3]) == 4) {
			fqs.push_back({v[0], v[1], v[2], v[3]});
		} else if (strncmp(argv[i], "cake", 4) == 0) {
			cake_figures c;
			bool change = strncmp(argv[i], "cake-change=", 12) == 0;
			if (sscanf(argv[i] + (change ? 12 : 5),
				   "%" SCNu64 ",%u,%u,%u,%d,%u,%u", &c.rate,
				   &c.isolation, &c.ingress, &c.split_gso,
				   &c.overhead, &c.mpu, &c.atm) != 7) {
				fprintf(stderr, "uml_wire_check: %s?\n",
					argv[i]);
				return 2;
			}
			cakes.push_back(c);
			changes.push_back(change);
		} else {
			framed = true;
			args.push_back(argv[i]);
			if (read_type(argv[3]) == "1")
				framing.policer_header = 14;
		}
		if (strcmp(argv[i], "--atm") == 0)
			framing.atm = true;
		else if (i + 1 < argc && strcmp(argv[i], "--overhead") == 0)
			framing.overhead = atoi(argv[i + 1]);
		else if (i + 1 < argc && strcmp(argv[i], "--mpu") == 0)
			framing.mpu = atoi(argv[i + 1]);
	}
	// The figures of each record that the run must send: a plain run's
	// policer, each tbf and, when shaped, the fair queue in each.
	bool in = strcmp(argv[4], "-") != 0, eg = strcmp(argv[5], "-") != 0;
	bool shaped = ifb_name != nullptr, cake = !cakes.empty();
	for (cake_figures &c : cakes)
		c.raw = !framed;
	if (cake)
		args[1] = "--cake";
	if (police.size() != size_t(!shaped && in) ||
	    tbfs.size() != (cake ? 0 : size_t(shaped && in) + eg) ||
	    fqs.size() != (shaped ? tbfs.size() : 0) ||
	    (cake && (!shaped || cakes.size() != size_t(in) + eg))) {
		fputs("uml_wire_check: the figures do not fit the rates\n",
		      stderr);
		return 2;
	}
	args.insert(args.end(), {argv[3], argv[4], argv[5], nullptr});
	int fd = open_capture(argv[1]);
	int ifindex = if_nametoindex(argv[3]);
	if (ifindex == 0)
		die(argv[3]);
	int ifb = ifb_name != nullptr ? if_nametoindex(ifb_name) : 0;
	bool ifb_existed = ifb != 0;

	pid_t pid = fork();
	if (pid < 0)
		die("fork");
	if (pid == 0) {
		execv(argv[2], const_cast<char **>(args.data()));
		_exit(127);
	}
	int status;
	if (waitpid(pid, &status, 0) < 0)
		die("waitpid");
	std::string seen;
	std::vector<captured> got = drain(fd, seen);

	// A new IFB's index is known once the run has made it, and the
	// address that its creation asked for is the one the kernel holds.
	uint8_t address[6] = {0};
	if (ifb_name != nullptr && !ifb_existed) {
		ifb = if_nametoindex(ifb_name);
		if (ifb != 0)
			read_address(ifb_name, address);
	}
	// A shaped run asks the kernel about its IFB's names, and reads what
	// is in force once its requests are done (a cake run before them
	// too); only the requests that change something are compared. Each
	// kind of message comes as new, delete, get: the reads are the third.
	if (ifb_name != nullptr)
		for (size_t i = got.size(); i-- > 0;)
			if (got[i].hdr.nlmsg_type % 4 == RTM_GETLINK % 4)
				got.erase(got.begin() + i);
	// Each record on its device: [0] the IFB's, [1] the interface's.
	run_figures fig = {ifindex, ifb, argv[3], ifb_name, address, 1, {},
			   {}, {}, {}, TICKS_PER_SECOND, framing};
	if (!police.empty())
		fig.police = police[0];
	size_t first = shaped && in ? 0 : 1;
	for (size_t i = 0; i < tbfs.size(); i++)
		fig.tbf[first + i] = tbfs[i];
	for (size_t i = 0; i < fqs.size(); i++)
		fig.fq[first + i] = fqs[i];
	for (size_t i = 0; i < cakes.size(); i++)
		fig.cake[(in ? 0 : 1) + i] = cakes[i];
	char eg_how = eg && cake && changes.back() ? 'c' : eg ? 'n' : '-';
	char in_how = in && cake && changes[0] ? 'c' : in ? 'n' : '-';
	const run_order *order = known_order(cake ? 'c' : shaped ? 's' : 'p',
					     ifb_existed, in_how, eg_how);
	if (order == nullptr) {
		fputs("uml_wire_check: no known order for such a run\n",
		      stderr);
		return 2;
	}
	std::vector<request_image> want = run_images(*order, fig);
	int bad = 0;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		printf("pondrel did not exit 0 (wait status %d)\n", status);
		bad++;
	}
	if (got.size() != want.size()) {
		printf("%zu requests on the wire, %zu expected\n", got.size(),
		       want.size());
		bad++;
	}
	for (const captured &g : got)
		if (g.hdr.nlmsg_pid != got[0].hdr.nlmsg_pid) {
			printf("requests from more than one port\n");
			bad++;
			break;
		}
	for (size_t i = 0; i < got.size() && i < want.size(); i++) {
		const captured &g = got[i];
		const request_image &w = want[i];
		uint16_t flags = w.flags | NLM_F_REQUEST | NLM_F_ACK;
		if (g.hdr.nlmsg_type != w.type || g.hdr.nlmsg_flags != flags) {
			printf("request %zu: type %u flags %#x, expected type "
			       "%u flags %#x\n",
			       i, g.hdr.nlmsg_type, g.hdr.nlmsg_flags, w.type,
			       flags);
			bad++;
		}
		const byte_image body = as_compared(w, g.body);
		if (g.body != body) {
			size_t at = first_difference(g.body, body);
			printf("request %zu: %zu bytes, expected %zu; first "
			       "difference at byte %zu: %s, expected %s\n",
			       i, g.body.size(), body.size(), at,
			       hex(g.body, at, 16).c_str(),
			       hex(body, at, 16).c_str());
			bad++;
		}
	}
	printf("%zu requests compared, %d differences\n", got.size(), bad);
	if (bad != 0)
		printf("messages seen:\n%s", seen.c_str());
	return bad == 0 ? 0 : 1;
}
