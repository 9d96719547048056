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

static void
print_human(const char *dir, const struct limit_status *s)
{
	printf("%s: ", dir);
	if (s->state == LIMIT_NONE)
		puts("none");
	else if (s->state == LIMIT_FOREIGN)
		printf("not set by pondrel: %s\n", s->kind);
	else if (s->policed)
		printf("%.10g Kbit/s, policed, bucket %u bytes\n",
		       s->rate / BYTES_PER_KBIT, s->bucket);
	else
		printf("%.10g Kbit/s, shaped%s%s, bucket %u bytes, queue %u "
		       "bytes %.10g ms\n",
		       s->rate / BYTES_PER_KBIT,
		       through_ifb(s) ? " through IFB " : "",
		       through_ifb(s) ? status_ifb_name : "", s->bucket,
		       s->queue, s->queue_ms);
	if (s->counted)
		printf("  passed %llu bytes %llu packets, dropped %u, "
		       "overlimits %u, backlog %u bytes %u packets\n",
		       (unsigned long long)s->bytes,
		       (unsigned long long)s->packets, s->drops, s->overlimits,
		       s->backlog, s->qlen);
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
		if (through_ifb(s))
			print_json_string("ifb", status_ifb_name);
		if (!s->policed)
			printf(",\"queue_bytes\":%u,\"queue_ms\":%.10g",
			       s->queue, s->queue_ms);
	}
	if (s->counted)
		printf(",\"bytes\":%llu,\"packets\":%llu,\"drops\":%u,"
		       "\"overlimits\":%u,\"backlog_bytes\":%u,"
		       "\"backlog_packets\":%u",
		       (unsigned long long)s->bytes,
		       (unsigned long long)s->packets, s->drops, s->overlimits,
		       s->backlog, s->qlen);
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
