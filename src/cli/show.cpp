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

static void
print_human(const char *dir, const struct limit_status *s)
{
	printf("%s: ", dir);
	if (s->state == LIMIT_NONE)
		puts("none");
	else if (s->state == LIMIT_FOREIGN)
		printf("not set by pondrel: %s\n", s->kind);
	else if (s->policed) {
		printf("%.10g Kbit/s, policed, bucket %u bytes",
		       s->rate / BYTES_PER_KBIT, s->bucket);
		print_human_framing(&s->framing);
		putchar('\n');
	} else {
		printf("%.10g Kbit/s, shaped%s%s, bucket %u bytes",
		       s->rate / BYTES_PER_KBIT,
		       through_ifb(s) ? " through IFB " : "",
		       through_ifb(s) ? status_ifb_name : "", s->bucket);
		print_human_framing(&s->framing);
		print_human_queue(s);
	}
	print_counters(&s->count);
	if (s->state == LIMIT_OWN && fair_queued(s))
		printf("  fair queue: dropped %u, ECN marked %u, new flows %u, "
		       "backlog %u bytes %u packets, memory used %u bytes\n",
		       s->child.count.drops, s->child.ecn_marks,
		       s->child.new_flows, s->child.count.backlog,
		       s->child.count.qlen, s->child.memory_used);
}

/* A device name may hold quotes, backslashes and control characters. */
static void
print_json_string(const char *key, const char *text)
{
	printf(",\"%s\":\"", key);
	for (; *text != '\0'; text++) {
		unsigned char c = (unsigned char)*text;
		if (c < 0x20)
			printf("\\u%04x", c);
		else
			printf(c == '"' || c == '\\' ? "\\%c" : "%c", c);
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
		if (through_ifb(s))
			print_json_string("ifb", status_ifb_name);
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
