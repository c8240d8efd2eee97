#pragma once
#include "Rates.h"

// The peer's own limit: a bare socket client sending the master's 246-byte read frame to
// vocator-plcsim, one in flight, with no hand-over. What the simulator costs per request is part
// of every figure of our master, and not of the bare or libmodbus loops, whose servers are plain
// threads.
TRates MeasureSimulatorPeer(bool udp, const char* address, const TTiming& timing);
