/*
 * What the kinds' printers share: counters, framing, the IFB, and text
 * from the command line or the kernel, shown so that no byte of it can
 * reach a terminal as a control.
 */
#include <stdio.h>

#include "kinds.h"

void
print_counters(const struct counters *c, bool json)
{
	if (!c->counted)
		return;
	if (json)
		printf(",\"bytes\":%llu,\"packets\":%llu,\"drops\":%u,"
		       "\"overlimits\":%u,\"backlog_bytes\":%u,"
		       "\"backlog_packets\":%u",
		       (unsigned long long)c->bytes,
		       (unsigned long long)c->packets, c->drops, c->overlimits,
		       c->backlog, c->qlen);
	else
		printf("  passed %llu bytes %llu packets, dropped %u, "
		       "overlimits %u, backlog %u bytes %u packets\n",
		       (unsigned long long)c->bytes,
		       (unsigned long long)c->packets, c->drops, c->overlimits,
		       c->backlog, c->qlen);
}

/* The link's framing, where a framing option set any of it. */
void
print_framing(const struct framing *f, bool json)
{
	if (f->overhead != 0)
		printf(json ? ",\"overhead_bytes\":%u" : ", overhead %u bytes",
		       f->overhead);
	if (f->mpu != 0)
		printf(json ? ",\"mpu_bytes\":%u" : ", mpu %u bytes", f->mpu);
	if (f->atm)
		fputs(json ? ",\"atm\":true" : ", ATM cells", stdout);
}

/* The IFB that a shaped ingress goes through, and whether it passes. */
void
print_ifb(const struct limit_status *s, bool json)
{
	if (s->ifb[0] == '\0')
		return;
	if (json) {
		print_json_string("ifb", s->ifb);
		printf(",\"ifb_up\":%s", s->ifb_up ? "true" : "false");
		return;
	}
	fputs(" through IFB ", stdout);
	print_text(s->ifb);
	if (!s->ifb_up)
		fputs(" (down: passes nothing)", stdout);
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
void
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

/*
 * A device name may hold quotes, backslashes, control characters and
 * bytes that are no UTF-8; JSON takes the last as U+FFFD.
 */
void
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
