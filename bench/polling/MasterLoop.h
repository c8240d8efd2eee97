#pragma once
#include "Rates.h"

// Our master as the program runs it: the EPSNET master thread behind a TkxEPSNETMaster on the main
// thread, polling vocator-plcsim (a child process) with one 246-byte read request in its cyclic
// list; every answer is handed to the main thread, which reads the message tag as the data module
// does.
TRates MeasureMasterLoop(bool udp, const char* address, const TTiming& timing);
