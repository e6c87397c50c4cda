// The runtime's millisecond clock, started when the plug-in is loaded.
#ifndef QUORV_HOST_CLOCK_H
#define QUORV_HOST_CLOCK_H

// Whole seconds since load: each reading is cut to whole seconds before any
// subtraction, so elapsed times are differences of two such readings.
int clock_seconds();

#endif
