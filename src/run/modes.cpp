/* The modes, each a row of kinds: a new mode is a row here. */
#include "run.h"

const struct mode plain_mode = {
    {&tbf_kind, NULL}, NULL, &police_kind, false, false,
};
const struct mode shaped_mode = {
    {&tbf_kind, NULL}, &fq_codel_kind, NULL, true, false,
};
const struct mode cake_mode = {
    {&cake_mq_kind, &cake_kind}, NULL, NULL, true, true,
};
