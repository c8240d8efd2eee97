#pragma once
#include "Rates.h"

// The limit of the machine: a client and a server over plain sockets exchanging a 14-byte request
// and a 255-byte answer, one in flight. With HandOver, every answer is also copied on the main
// thread through one blocking Qt hand-over, the limit of any design that reports every answer there.
TRates MeasureBareLoop(bool udp, bool handOver, const char* address, const TTiming& timing);
