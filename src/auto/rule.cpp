/*
 * The decision rule, alone so that its answers can be known: one call per
 * direction at each decision, nothing kept between calls but the rate.
 */
#include "auto.h"

/* Delay above the baseline that a user notices in a call or a game. */
#define THRESHOLD_MS 15.0
/* Under two thirds of it the link is taken as unqueued. */
#define QUIET_MS (THRESHOLD_MS * 2 / 3)
/* Without an answer this long, the link may be down or swamped. */
#define SILENCE_S 3.0
/*
 * A cut shows only once the link's queue has drained at the new rate: a
 * second cut sooner would take the rate to its least on a delay that is
 * already falling. A raise waits longer, until the queue has stayed
 * drained. Measured on bench/autorate.sh's trace, runs of the controller
 * alone: cuts 0.5 s apart let the rate fall to its least after most
 * steps down (46 % of the capacity); a second apart, 67 to 71 %. A raise
 * 1 s after a cut, rather than 2 s, took the ping's median from +2.6 to
 * +5 ms, and to +16 ms in the step test on a busy machine.
 */
#define CUT_SPACING_S 1.0
#define RAISE_AFTER_CUT_S 2.0
/*
 * A direction carries load when it passes this share of its rate, and is
 * busy from the next. A download through the IFB's cake, held by that
 * cake alone, asked 0.5 to 0.7 of its rate of it in the user-mode kernel:
 * TCP backs off from each drop there, after the link. From the last share
 * a direction is held by its own queue, which cake keeps short: one that
 * passes less than its rate while loaded lets the link's queue, upstream
 * of it, hold the rest.
 */
#define LOADED 0.1
#define BUSY 0.5
#define SATURATED 0.97
/* A cut goes below what passed, so that the queue upstream drains. */
#define CUT_FACTOR 0.9
/*
 * A raise: a share of the rate, at least a share of the range. 4 % every
 * 250 ms took 13 s from 5 to 40 Mbit/s, longer than many of a mobile
 * link's phases; 10 % takes 5 s, and its overshoot costs the ping's 95th
 * percentile tens of ms, not its median.
 */
#define RAISE_SHARE 0.10
#define RAISE_RANGE_SHARE 0.02

static double
clamp(const auto_range &range, double rate)
{
	if (rate < range.min)
		return range.min;
	if (rate > range.max)
		return range.max;
	return rate;
}

bool
overrun(double load)
{
	return load >= LOADED && load < SATURATED;
}

decision
decide(const auto_range &range, double rate, const auto_sample &s)
{
	/*
	 * A ping may wait in pondrel's own queues, which cake keeps short:
	 * at low rates that is tens of ms, and no sign of the link's queue.
	 */
	double queued = s.delay_ms - s.own_ms, passed, step;

	if (s.silent_s >= SILENCE_S)
		return {range.min,
			rate == range.min ? verdict::hold : verdict::floor};
	/*
	 * Delay without load here is someone else's queue: not ours to cut.
	 * The pings cross both directions, so a direction held by its own
	 * queue is spared while the other passes less than its rate.
	 */
	if (queued > THRESHOLD_MS && s.load >= LOADED &&
	    !(s.load >= SATURATED && s.other_overrun)) {
		if (s.since_cut_s < CUT_SPACING_S)
			return {clamp(range, rate), verdict::hold};
		passed = s.load < 1.0 ? s.load * rate : rate;
		return {clamp(range, passed * CUT_FACTOR), verdict::cut};
	}
	if (queued < QUIET_MS && s.load >= BUSY &&
	    s.since_cut_s >= RAISE_AFTER_CUT_S && rate < range.max) {
		step = rate * RAISE_SHARE;
		if (step < (range.max - range.min) * RAISE_RANGE_SHARE)
			step = (range.max - range.min) * RAISE_RANGE_SHARE;
		return {clamp(range, rate + step), verdict::raise};
	}
	/* Within the range, which a reread configuration may have moved. */
	return {clamp(range, rate), verdict::hold};
}
