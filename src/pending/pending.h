// Hooks into modules that are not built yet. Each is defined by a logging
// stand-in until its module lands and replaces it.
#pragma once

// Timer schedules: recompute the next execution time of every schedule
// (after the first successful clock calibration).
void timer_schedule_all_recompute(void);
