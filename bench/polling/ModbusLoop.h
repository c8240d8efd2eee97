#pragma once
#include "Rates.h"

// What a user would pick instead: a libmodbus client reading 123 holding registers (246 bytes)
// from a libmodbus server in its own thread, one request in flight. libmodbus has no UDP
// transport, so this is TCP only.
TRates MeasureModbusLoop(const char* address, const TTiming& timing);
