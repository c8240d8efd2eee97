#pragma once
#include "comm/kxasync_settings.h"
#include "platform/SerialPort.h"

// The serial line record of the engine on this platform's serial port: what a DCB means for the
// terminal settings of a port, and what the driver's settings look like as a DCB.

// The line settings of a DCB. DTR comes from the record's DTR control (handshake counts as
// raised); the thread then sets the level it keeps itself. RTS follows the RTS control: enabled
// raises it, disabled and toggle leave it low (a direction signal rests low), handshake hands it
// to the driver. CTS flow from either fOutxCtsFlow or the RTS handshake becomes RTS/CTS
// handshake, which the driver does as one. DSR flow and the DTR handshake have no terminal
// setting and are left out.
TSerialSettings SerialSettingsFromDCB(const DCB& dcb);

// The record the driver's settings stand for, as the Windows driver reports it: fBinary always,
// the parity check, the flow-control and line-control bits of what the port does.
DCB DCBFromSerialSettings(const TSerialSettings& settings);

// The time-outs every serial line of the engine runs with: a read takes at most 500 ms plus
// 15 ms per requested byte and ends early after a gap of 200 ms; a write at most 500 ms plus
// 10 ms per byte.
TSerialTimeouts ComLineTimeouts();
