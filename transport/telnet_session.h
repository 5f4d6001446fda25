// The client's side of a Telnet session carrying a serial port: option
// negotiation, the serial-port control option's commands and notifications,
// and the separation of data from protocol bytes. It only turns bytes into
// bytes, so it knows nothing of sockets, and a packet may end anywhere: in
// the middle of a command, of a subnegotiation or of a doubled 255. A server
// is not trusted: a subnegotiation longer than any real one fails the
// session instead of growing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vemblaric::transport {

namespace telnet {
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
}  // namespace telnet

// Commands of the serial-port control option as the client sends them; the
// server answers or notifies with the same code plus kServerCode.
namespace comport {
enum Command : uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr uint8_t kServerCode = 100;
constexpr int kCommands = 13;

// Values of SET-CONTROL.
constexpr uint8_t kNoFlowControl = 1, kXonXoffFlowControl = 2, kHardwareFlowControl = 3,
                  kBreakOn = 5, kBreakOff = 6, kDtrOn = 8, kDtrOff = 9, kRtsOn = 11,
                  kRtsOff = 12;
// Flow control's values besides those: the request (0) and the flow by DCD,
// DTR or DSR (17-19) that a server may answer with.
constexpr uint8_t kFlowControlRequest = 0, kDcdFlowControl = 17, kDsrFlowControl = 19;
// Values of PURGE-DATA: the server's buffer towards us, towards the device, or both.
constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;
// Bits of NOTIFY-LINESTATE that report a fault of received data.
constexpr uint8_t kOverrun = 0x02, kParityError = 0x04, kFramingError = 0x08,
                  kBreakDetected = 0x10;
constexpr uint8_t kLineFaults = kOverrun | kParityError | kFramingError | kBreakDetected;
}  // namespace comport

enum class ComPortOption { kAsked, kAccepted, kRefused };

class TelnetSession {
 public:
  // What a client sends on connecting: binary both ways, no go-ahead, and
  // the serial-port control option.
  std::string Greeting();

  // Longer than any subnegotiation of the options a serial server uses (the
  // longest, a server's signature, is a line of text).
  static constexpr size_t kLongestSubnegotiation = 512;

  // Takes bytes taken from the connection: data goes to the end of `data`,
  // and what the session must answer (negotiation) to the end of `replies`.
  // The first lookedAhead() of them were acted on by LookAhead already, so
  // only their data is taken now.
  void Receive(const char* bytes, size_t count, std::string& data, std::string& replies);
  // Acts on the protocol of bytes the connection holds beyond those taken and
  // those looked at before, without taking them: their data is left to
  // Receive, when the bytes are taken.
  void LookAhead(const char* bytes, size_t count, std::string& replies);
  size_t lookedAhead() const { return lookedAhead_; }
  // The server broke the protocol (a subnegotiation longer than
  // kLongestSubnegotiation); the session then takes nothing more.
  bool failed() const { return failed_; }
  // Bytes the session holds for an unfinished subnegotiation and the answers.
  size_t BytesHeld() const;

  // Data to send, with each 255 doubled.
  static std::string EscapeData(const char* bytes, size_t count);
  // One command of the serial-port control option; 255 in the value doubled.
  static std::string ComPortCommand(comport::Command command, const std::string& value);
  static std::string ComPortCommand(comport::Command command, uint8_t value);
  static std::string BaudRateCommand(uint32_t baud);

  ComPortOption comPort() const { return comPort_; }

  // The server's last answer to a command: how many it has sent so far, and
  // the value of the last one. Of SET-CONTROL's answers only those of flow
  // control count: they are the ones a caller waits for, and an answer to a
  // line or a break the last call set (which a server without modem lines
  // never sends) may still be on its way.
  struct Answer {
    unsigned count = 0;
    std::string value;
  };
  const Answer& answer(comport::Command command) const { return answers_[command]; }

  // Line faults notified since the last call, then forgotten.
  uint8_t TakeLineFaults();
  uint8_t modemState() const { return modemState_; }
  // The server asked us to stop sending until it resumes us.
  bool suspended() const { return suspended_; }

 private:
  enum class State { kData, kIac, kOption, kSub, kSubIac };
  struct Option {
    bool ourAsked = false, ourOn = false;  // we send WILL; the server answers DO or DONT
    bool hisAsked = false, hisOn = false;  // we send DO; the server answers WILL or WONT
  };

  // One byte on from `state`: a data byte goes to `data` when given; the
  // protocol is acted on when `replies` is given, else only stepped over.
  void Step(State& state, uint8_t b, std::string* data, std::string* replies);
  void Negotiate(uint8_t verb, uint8_t option, std::string& replies);
  void Subnegotiation();

  State state_ = State::kData;
  // Where the bytes looked ahead at begin: the state that separates their
  // data when they are taken, with nothing acted on twice.
  State takenState_ = State::kData;
  size_t lookedAhead_ = 0;
  bool failed_ = false;
  uint8_t verb_ = 0;
  std::string sub_;
  Option options_[256];
  ComPortOption comPort_ = ComPortOption::kAsked;
  Answer answers_[comport::kCommands];
  uint8_t lineFaults_ = 0;
  uint8_t modemState_ = 0;
  bool suspended_ = false;
};

}  // namespace vemblaric::transport
