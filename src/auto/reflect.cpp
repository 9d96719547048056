/*
 * The reflectors: each asked in turn for ICMP timestamps, which tell the
 * delay of each direction apart, or echoed where it gives none. Each
 * delay has a baseline that falls at once and rises only slowly, so that
 * a queue that builds is seen as delay and a route that lengthens, or a
 * clock that drifts, in the end is not.
 */
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>

#include "auto.h"

/* Each answer moves a baseline up by this share of the difference. */
#define BASELINE_RISE 0.002
/* A reflector silent this long while others answer is dropped. */
#define LOST_AFTER_S 10.0
/* A dropped one is asked again this often, in case it is back. */
#define RETRY_LOST_S 30.0
/* Delay counts only from answers this fresh. */
#define FRESH_S 3.0
/* Timestamp requests unanswered before a reflector is echoed instead. */
#define STAMP_TRIES 3
#define DAY_MS 86400000

/* The marker that tells pondrel's echo payload from another program's. */
static const char MARK[8] = {'p', 'o', 'n', 'd', 'r', 'e', 'l', 0};
struct payload {
	char mark[8];
	double sent; /* seconds on the monotonic clock */
};
/* A timestamp message: the header, then three times in ms of the day. */
struct stamps {
	struct icmphdr h;
	uint32_t originate, receive, transmit;
};

double
now_s(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Milliseconds since midnight, universal time, as timestamps count. */
static uint32_t
day_ms(void)
{
	struct timespec t;

	clock_gettime(CLOCK_REALTIME, &t);
	return (uint32_t)((t.tv_sec % 86400) * 1000 + t.tv_nsec / 1000000);
}

/*
 * A raw socket where the privilege allows, for timestamps; else an
 * unprivileged echo socket, where the system allows one.
 */
bool
open_pinger(struct pinger &p)
{
	p.fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK,
		      IPPROTO_ICMP);
	p.raw = p.fd >= 0;
	if (!p.raw)
		p.fd =
		    socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
			   IPPROTO_ICMP);
	p.ident = (uint16_t)getpid();
	return p.fd >= 0;
}

static uint16_t
checksum(const void *data, size_t len)
{
	const uint8_t *b = (const uint8_t *)data;
	uint32_t sum = 0;
	size_t i;

	for (i = 0; i + 1 < len; i += 2)
		sum += (uint32_t)(b[i] << 8 | b[i + 1]);
	if (len & 1)
		sum += (uint32_t)(b[len - 1] << 8);
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	return htons((uint16_t)~sum);
}

/* The next reflector that is not dropped, or a dropped one due again. */
static struct reflector *
next_reflector(struct pinger &p, double now)
{
	for (int tries = 0; tries < p.n; tries++) {
		struct reflector *r = &p.r[p.next];
		p.next = (p.next + 1) % p.n;
		if (!r->lost || now - r->sent >= RETRY_LOST_S)
			return r;
	}
	return NULL;
}

void
send_ping(struct pinger &p, double now)
{
	union {
		struct {
			struct icmphdr h;
			struct payload body;
		} echo;
		struct stamps ts;
	} m;
	size_t len = sizeof(m.echo);
	struct sockaddr_in to;
	struct reflector *r = next_reflector(p, now);

	if (r == NULL)
		return;
	memset(&m, 0, sizeof(m));
	m.echo.h.un.echo.id = htons(p.ident);
	m.echo.h.un.echo.sequence = htons(++p.seq);
	if (p.raw && (r->stamps || r->stamp_tries < STAMP_TRIES)) {
		m.ts.h.type = ICMP_TIMESTAMP;
		m.ts.originate = htonl(day_ms());
		len = sizeof(m.ts);
		r->stamp_tries++;
	} else {
		m.echo.h.type = ICMP_ECHO;
		memcpy(m.echo.body.mark, MARK, sizeof(MARK));
		m.echo.body.sent = now;
	}
	m.echo.h.checksum = checksum(&m, len);
	memset(&to, 0, sizeof(to));
	to.sin_family = AF_INET;
	to.sin_addr = r->addr;
	r->sent = now;
	r->waiting = true;
	/* A send that fails is a ping unanswered, as a lost one is. */
	sendto(p.fd, &m, len, 0, (struct sockaddr *)&to, sizeof(to));
}

/* One direction's delay, or the round trip's, above its baseline. */
static double
above_baseline(double *baseline, double ms)
{
	if (*baseline < -1e8 || ms < *baseline)
		*baseline = ms;
	else
		*baseline += (ms - *baseline) * BASELINE_RISE;
	return ms - *baseline;
}

/* The round trip's own baseline tells a late answer from a due one. */
static void
answered(struct reflector *r, double rtt_ms, double now)
{
	above_baseline(&r->baseline_ms[2], rtt_ms);
	r->answered = now;
	r->waiting = false;
	r->lost = false;
}

/* A time of the day from a timestamp, as far after base as it is. */
static double
day_diff(uint32_t later, uint32_t base)
{
	return (double)((later + DAY_MS - base % DAY_MS) % DAY_MS);
}

static void
note(struct pinger &p, uint32_t from, const uint8_t *m, size_t n, double now)
{
	struct icmphdr h;
	struct payload body;
	struct stamps ts;
	uint32_t arrived = day_ms();
	double rtt;

	if (n < sizeof(h))
		return;
	memcpy(&h, m, sizeof(h));
	if (p.raw && ntohs(h.un.echo.id) != p.ident)
		return;
	for (int i = 0; i < p.n; i++) {
		struct reflector *r = &p.r[i];
		if (r->addr.s_addr != from)
			continue;
		if (h.type == ICMP_TIMESTAMPREPLY && n >= sizeof(ts)) {
			memcpy(&ts, m, sizeof(ts));
			/* Clocks of two hosts differ: the baselines take
			 * the offset, each direction its own. */
			r->delay_ms[0] = above_baseline(
			    &r->baseline_ms[0],
			    day_diff(ntohl(ts.receive), ntohl(ts.originate)));
			r->delay_ms[1] = above_baseline(
			    &r->baseline_ms[1],
			    day_diff(arrived, ntohl(ts.transmit)));
			r->stamps = true;
			answered(r, day_diff(arrived, ntohl(ts.originate)),
				 now);
		} else if (h.type == ICMP_ECHOREPLY &&
			   n >= sizeof(h) + sizeof(body)) {
			memcpy(&body, m + sizeof(h), sizeof(body));
			if (memcmp(body.mark, MARK, sizeof(MARK)) != 0 ||
			    !(body.sent <= now && body.sent > now - 60))
				return;
			rtt = (now - body.sent) * 1000;
			answered(r, rtt, now);
			r->delay_ms[0] = r->delay_ms[1] =
			    rtt - r->baseline_ms[2];
			r->stamps = false;
		}
	}
}

/* Every answer waiting, each matched to its reflector by its source. */
void
read_replies(struct pinger &p, double now)
{
	uint8_t buf[256];
	struct sockaddr_in from;
	socklen_t len;
	ssize_t n;
	size_t skip;

	for (;;) {
		len = sizeof(from);
		n = recvfrom(p.fd, buf, sizeof(buf), 0,
			     (struct sockaddr *)&from, &len);
		if (n < 0)
			return;
		/* A raw socket gives the IP header too. */
		skip = p.raw ? (size_t)(buf[0] & 0x0f) * 4 : 0;
		if ((size_t)n > skip)
			note(p, from.sin_addr.s_addr, buf + skip,
			     (size_t)n - skip, now);
	}
}

/*
 * The delay that the link adds each way ([0] leaving, [1] arriving): the
 * second least of the reflectors' fresh delays, so that one reflector's
 * own trouble moves nothing. A request still unanswered counts, either
 * way, as late as it is by now, not as absent: behind a full buffer,
 * answers take seconds. Dropped reflectors are marked here.
 */
bool
link_delays(struct pinger &p, double now, double *delay, double *silent_s)
{
	double d[2][REFLECTORS_MAX], v, late, last = -1;
	int n = 0, i, j, k;
	bool one_way = true;

	for (i = 0; i < p.n; i++) {
		struct reflector *r = &p.r[i];
		if (r->answered > last)
			last = r->answered;
		if (r->answered < 0 || now - r->answered > FRESH_S) {
			if (r->answered >= 0 &&
			    now - r->answered > LOST_AFTER_S)
				r->lost = true;
			continue;
		}
		one_way &= r->stamps;
		late = (now - r->sent) * 1000 - r->baseline_ms[2];
		for (k = 0; k < 2; k++) {
			v = r->delay_ms[k];
			if (r->waiting && late > v)
				v = late;
			for (j = n; j > 0 && d[k][j - 1] > v; j--)
				d[k][j] = d[k][j - 1];
			d[k][j] = v;
		}
		n++;
	}
	*silent_s = last < 0 ? 1e9 : now - last;
	for (k = 0; k < 2; k++)
		delay[k] = n == 0 ? 0 : n == 1 ? d[k][0] : d[k][1];
	return one_way && n > 0;
}

/*
 * One asked before keeps its baselines and answers; a new one is known by
 * nothing yet: no baseline, no answer.
 */
void
set_reflectors(struct pinger &p, const struct in_addr *addrs, int n)
{
	struct reflector before[REFLECTORS_MAX];
	int had = p.n;

	memcpy(before, p.r, sizeof(before));
	p.n = p.next = 0;
	for (int i = 0; i < n && i < REFLECTORS_MAX; i++) {
		struct reflector *r = &p.r[p.n++];
		int j = 0;
		while (j < had && before[j].addr.s_addr != addrs[i].s_addr)
			j++;
		if (j < had) {
			*r = before[j];
			continue;
		}
		memset(r, 0, sizeof(*r));
		r->addr = addrs[i];
		r->baseline_ms[0] = r->baseline_ms[1] = r->baseline_ms[2] =
		    -1e9;
		r->answered = -1;
	}
}
