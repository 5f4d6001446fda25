#include "serial_port/line_settings.h"

namespace vemblaric::serial_port {
namespace {

constexpr long kXOnXOff = 1;
constexpr long kRtsCts = 2;
constexpr long kBoth = 3;
constexpr char kXOn = 0x11;
constexpr char kXOff = 0x13;

BYTE StopBitsCode(long stopBits) {
  switch (stopBits) {
    case 2: return TWOSTOPBITS;
    case 3: return ONE5STOPBITS;
    default: return ONESTOPBIT;
  }
}

}  // namespace

bool ValidBaudRate(long value) { return value > 0; }
bool ValidDataBits(long value) { return value >= 5 && value <= 8; }
bool ValidParity(long value) { return value >= 0 && value <= 4; }
bool ValidStopBits(long value) { return value >= 1 && value <= 3; }
bool ValidHandshake(long value) { return value >= 0 && value <= 3; }

void ApplyLineSettings(const LineSettings& settings, DCB& dcb) {
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
  dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
  // The parity codes of the system are the published ones.
  dcb.Parity = static_cast<BYTE>(settings.parity);
  dcb.fParity = settings.parity != 0;
  dcb.StopBits = StopBitsCode(settings.stopBits);
  dcb.fBinary = TRUE;
  dcb.fAbortOnError = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;

  const bool software = settings.handshake == kXOnXOff || settings.handshake == kBoth;
  const bool hardware = settings.handshake == kRtsCts || settings.handshake == kBoth;
  dcb.fOutX = software;
  dcb.fInX = software;
  dcb.XonChar = kXOn;
  dcb.XoffChar = kXOff;
  // Send XOFF when the driver's queue is nearly full, XON when it has room.
  dcb.XonLim = 256;
  dcb.XoffLim = 256;
  dcb.fOutxCtsFlow = hardware;
  dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE
                             : (settings.rtsEnable ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
  dcb.fDtrControl = settings.dtrEnable ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
}

}  // namespace vemblaric::serial_port
