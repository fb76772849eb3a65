// Entry of the host daemon: the start-up sequence, then the main thread
// waits on the basic timer thread for the life of the process.
#include "orvi_main.h"

int main(void) { return orvi_main(); }
