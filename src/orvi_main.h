// The daemon's start-up sequence and service start order. Runs on the main
// thread, which then waits on the basic timer thread for the life of the process.
#pragma once

int orvi_main(void);
int orvi_init(void);
