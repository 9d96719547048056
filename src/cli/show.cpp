/* The status view: what limits each direction, for people or as JSON. */
#include <stdio.h>

#include "cli.h"
#include "../netlink/netlink.h"
#include "../shaping/shaping.h"

static const char *const STATES[] = {"none", "pondrel", "foreign"};

static bool
through_ifb(const struct limit_status *s)
{
	return s == &ingress_status && status_ifb_name[0] != '\0';
}

/* The fair queue in the tbf's class takes the place of its byte queue. */
static bool
fair_queued(const struct limit_status *s)
{
	return s->child.seen == 1;
}

static void
print_counters(const struct counters *c)
{
	if (c->counted)
		printf("  passed %llu bytes %llu packets, dropped %u, "
		       "overlimits %u, backlog %u bytes %u packets\n",
		       (unsigned long long)c->bytes,
		       (unsigned long long)c->packets, c->drops, c->overlimits,
		       c->backlog, c->qlen);
}

/* The link's framing, where a framing option set any of it. */
static void
print_human_framing(const struct framing *f)
{
	if (f->overhead != 0)
		printf(", overhead %u bytes", f->overhead);
	if (f->mpu != 0)
		printf(", mpu %u bytes", f->mpu);
	if (f->atm)
		fputs(", ATM cells", stdout);
}

static void
print_human_queue(const struct limit_status *s)
{
	const struct fair_queue_params *p = &s->child.params;

	if (!fair_queued(s)) {
		printf(", queue %u bytes %.10g ms\n", s->queue, s->queue_ms);
		return;
	}
	printf(", fair queue fq_codel target %.10g ms interval %.10g ms, limit "
	       "%u packets %u bytes%s\n",
	       p->target_us / 1000.0, p->interval_us / 1000.0, p->limit,
	       p->memory_limit, p->ecn ? ", ECN" : "");
}

/*
 * The length of the UTF-8 sequence at p, or 0 where it is not one: a
 * stray continuation, an overlong form, a surrogate or beyond U+10FFFF.
 */
static int
utf8_length(const unsigned char *p)
{
	int n, i;
	uint32_t c;

	if (p[0] < 0x80)
		return 1;
	if (p[0] < 0xc2 || p[0] > 0xf4)
		return 0;
	n = p[0] < 0xe0 ? 2 : p[0] < 0xf0 ? 3 : 4;
	c = p[0] & (0x7f >> n);
	for (i = 1; i < n; i++) {
		if ((p[i] & 0xc0) != 0x80)
			return 0;
		c = c << 6 | (p[i] & 0x3f);
	}
	if ((n == 3 && (c < 0x800 || (c >= 0xd800 && c <= 0xdfff))) ||
	    (n == 4 && (c < 0x10000 || c > 0x10ffff)))
		return 0;
	return n;
}

/*
 * Names come from the command line and kinds from the kernel: a control
 * character in either would reach the terminal, so each is shown escaped.
 */
static void
print_text(const char *text)
{
	const unsigned char *p = (const unsigned char *)text;
	int n, i;

	while (*p != '\0') {
		n = utf8_length(p);
		/* C0 and C1 controls, DEL, the escape's own backslash, and
		 * bytes that are no UTF-8. */
		if (n == 0 || *p < 0x20 || *p == 0x7f || *p == '\\' ||
		    (*p == 0xc2 && p[1] < 0xa0)) {
			for (i = 0; i < (n == 0 ? 1 : n); i++)
				printf("\\x%02x", p[i]);
			p += n == 0 ? 1 : n;
			continue;
		}
		fwrite(p, 1, (size_t)n, stdout);
		p += n;
	}
}

static void
print_human(const char *dir, const struct limit_status *s)
{
	printf("%s: ", dir);
	if (s->state == LIMIT_NONE) {
		puts("none");
	} else if (s->state == LIMIT_FOREIGN) {
		fputs("not set by pondrel: ", stdout);
		print_text(s->kind);
		putchar('\n');
	} else if (s->policed) {
		printf("%.10g Kbit/s, policed, bucket %u bytes",
		       s->rate / BYTES_PER_KBIT, s->bucket);
		print_human_framing(&s->framing);
		putchar('\n');
	} else {
		printf("%.10g Kbit/s, shaped", s->rate / BYTES_PER_KBIT);
		if (through_ifb(s)) {
			fputs(" through IFB ", stdout);
			print_text(status_ifb_name);
			if (!status_ifb_up)
				fputs(" (down: passes nothing)", stdout);
		}
		printf(", bucket %u bytes", s->bucket);
		print_human_framing(&s->framing);
		print_human_queue(s);
	}
	/* The kernel holds nothing back at a rate of 0. */
	if (s->state == LIMIT_OWN && s->rate == 0)
		puts("  a zero rate limits nothing: every packet passes");
	print_counters(&s->count);
	if (s->state == LIMIT_OWN && fair_queued(s))
		printf("  fair queue: dropped %u, ECN marked %u, new flows %u, "
		       "backlog %u bytes %u packets, memory used %u bytes\n",
		       s->child.count.drops, s->child.ecn_marks,
		       s->child.new_flows, s->child.count.backlog,
		       s->child.count.qlen, s->child.memory_used);
}

/*
 * A device name may hold quotes, backslashes, control characters and
 * bytes that are no UTF-8; JSON takes the last as U+FFFD.
 */
static void
print_json_string(const char *key, const char *text)
{
	const unsigned char *p = (const unsigned char *)text;
	int n;

	printf(",\"%s\":\"", key);
	while (*p != '\0') {
		n = utf8_length(p);
		if (n == 0) {
			fputs("\\ufffd", stdout);
			n = 1;
		} else if (*p < 0x20 || *p == 0x7f) {
			printf("\\u%04x", *p);
		} else if (*p == '"' || *p == '\\') {
			printf("\\%c", *p);
		} else {
			fwrite(p, 1, (size_t)n, stdout);
		}
		p += n;
	}
	putchar('"');
}

static void
print_json_counters(const struct counters *c)
{
	if (c->counted)
		printf(",\"bytes\":%llu,\"packets\":%llu,\"drops\":%u,"
		       "\"overlimits\":%u,\"backlog_bytes\":%u,"
		       "\"backlog_packets\":%u",
		       (unsigned long long)c->bytes,
		       (unsigned long long)c->packets, c->drops, c->overlimits,
		       c->backlog, c->qlen);
}

static void
print_json_fair_queue(const struct child_status *c)
{
	printf(",\"fair_queue\":{\"kind\":\"fq_codel\",\"target_ms\":%.10g,"
	       "\"interval_ms\":%.10g,\"limit_packets\":%u,"
	       "\"memory_limit_bytes\":%u,\"ecn\":%s",
	       c->params.target_us / 1000.0, c->params.interval_us / 1000.0,
	       c->params.limit, c->params.memory_limit,
	       c->params.ecn ? "true" : "false");
	print_json_counters(&c->count);
	printf(",\"ecn_marks\":%u,\"new_flows\":%u,\"memory_used_bytes\":%u}",
	       c->ecn_marks, c->new_flows, c->memory_used);
}

static void
print_json_framing(const struct framing *f)
{
	if (f->overhead != 0)
		printf(",\"overhead_bytes\":%u", f->overhead);
	if (f->mpu != 0)
		printf(",\"mpu_bytes\":%u", f->mpu);
	if (f->atm)
		fputs(",\"atm\":true", stdout);
}

static void
print_json(const char *dir, const struct limit_status *s)
{
	printf(",\"%s\":{\"limit\":\"%s\"", dir, STATES[s->state]);
	if (s->state != LIMIT_NONE)
		print_json_string("kind", s->kind);
	if (s->state == LIMIT_OWN) {
		printf(
		    ",\"mode\":\"%s\",\"rate_kbit\":%.10g,\"bucket_bytes\":%u",
		    s->policed ? "policed" : "shaped", s->rate / BYTES_PER_KBIT,
		    s->bucket);
		print_json_framing(&s->framing);
		if (through_ifb(s)) {
			print_json_string("ifb", status_ifb_name);
			printf(",\"ifb_up\":%s",
			       status_ifb_up ? "true" : "false");
		}
		if (!s->policed)
			printf(",\"queue_bytes\":%u,\"queue_ms\":%.10g",
			       s->queue, s->queue_ms);
	}
	print_json_counters(&s->count);
	if (s->state == LIMIT_OWN && fair_queued(s))
		print_json_fair_queue(&s->child);
	putchar('}');
}

/* Only reads: every dump is open to any user, so no privilege is needed. */
int
show_status(const char *name)
{
	try_route_socket();
	resolve_interface(name);
	read_psched_clock();
	open_route_socket();
	read_status();
	if (json_output) {
		printf("{\"version\":1");
		print_json_string("interface", name);
		print_json("ingress", &ingress_status);
		print_json("egress", &egress_status);
		puts("}");
	} else {
		print_human("ingress", &ingress_status);
		print_human("egress", &egress_status);
	}
	return 0;
}
