// A port's line settings as SerialPort's properties hold them, their ranges,
// and the device control block they make.
#pragma once

#include <windows.h>

namespace vemblaric::serial_port {

// The published values: parity none, odd, even, mark, space = 0-4; stop bits
// one = 1, two = 2, one and a half = 3; handshake none, XON/XOFF, RTS/CTS,
// both = 0-3.
struct LineSettings {
  long baudRate = 9600;
  long dataBits = 8;
  long parity = 0;
  long stopBits = 1;
  long handshake = 0;
  bool dtrEnable = true;  // raised while the port is open, as terminals expect
  bool rtsEnable = true;
};

// Whether each value lies in its published range. The baud rate is only
// required to be positive here: which rates exist is the driver's to say.
bool ValidBaudRate(long value);
bool ValidDataBits(long value);
bool ValidParity(long value);
bool ValidStopBits(long value);
bool ValidHandshake(long value);

// Writes the settings into `dcb`, which holds the driver's current block:
// binary transfers, no abort on a line error (the error is reported, the
// bytes go on), and the flow control the handshake names.
void ApplyLineSettings(const LineSettings& settings, DCB& dcb);

}  // namespace vemblaric::serial_port
