/* The status view: what limits each direction, for people or as JSON. */
#include <stdio.h>

#include "status.h"

static const char *const STATES[] = {"none", "pondrel", "foreign"};

static void
print_human(const char *dir, const struct limit_status *s)
{
	printf("%s: ", dir);
	if (s->state == LIMIT_NONE) {
		puts("none");
		return;
	}
	if (s->state == LIMIT_FOREIGN) {
		fputs("not set by pondrel: ", stdout);
		print_text(s->kind);
		putchar('\n');
		print_counters(&s->count, false);
		return;
	}
	printf("%.10g Kbit/s, %s", s->rate / BYTES_PER_KBIT, s->how->mode);
	s->how->print(s, false);
	/* The kernel holds nothing back at a rate of 0. */
	if (s->rate == 0)
		puts("  a zero rate limits nothing: every packet passes");
	print_counters(&s->count, false);
	if (s->how->print_figures != NULL)
		s->how->print_figures(s, false);
}

static void
print_json(const char *dir, const struct limit_status *s)
{
	printf(",\"%s\":{\"limit\":\"%s\"", dir, STATES[s->state]);
	if (s->state != LIMIT_NONE)
		print_json_string("kind", s->kind);
	if (s->state == LIMIT_OWN) {
		printf(",\"mode\":\"%s\",\"rate_kbit\":%.10g", s->how->mode,
		       s->rate / BYTES_PER_KBIT);
		s->how->print(s, true);
	}
	print_counters(&s->count, true);
	if (s->state == LIMIT_OWN && s->how->print_figures != NULL)
		s->how->print_figures(s, true);
	putchar('}');
}

void
print_status(const char *name, const struct status_view *v, bool json,
	     void (*more)(const void *arg, bool json), const void *arg)
{
	if (json) {
		printf("{\"version\":1");
		print_json_string("interface", name);
		print_json("ingress", &v->ingress);
		print_json("egress", &v->egress);
	} else {
		print_human("ingress", &v->ingress);
		print_human("egress", &v->egress);
	}
	if (more != NULL)
		more(arg, json);
	if (json)
		puts("}");
}
