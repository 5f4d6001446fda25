#include "transport/telnet_session.h"

namespace vemblaric::transport {
namespace {

using namespace telnet;

std::string Command(uint8_t verb, uint8_t option) {
  return std::string{static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

// The options this client takes on for itself, and those it lets the server take on.
bool WeOffer(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool WeAccept(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

bool IsFlowControl(uint8_t control) {
  return control <= comport::kHardwareFlowControl ||
         (control >= comport::kDcdFlowControl && control <= comport::kDsrFlowControl);
}

}  // namespace

std::string TelnetSession::Greeting() {
  std::string out;
  for (uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
    options_[option].ourAsked = true;
    out += Command(kWill, option);
  }
  for (uint8_t option : {kBinary, kSuppressGoAhead}) {
    options_[option].hisAsked = true;
    out += Command(kDo, option);
  }
  return out;
}

void TelnetSession::Receive(const char* bytes, size_t count, std::string& data,
                            std::string& replies) {
  size_t i = 0;
  for (; i < count && lookedAhead_ > 0; ++i, --lookedAhead_)
    Step(takenState_, static_cast<uint8_t>(bytes[i]), &data, nullptr);
  for (; i < count && !failed_; ++i) Step(state_, static_cast<uint8_t>(bytes[i]), &data, &replies);
}

void TelnetSession::LookAhead(const char* bytes, size_t count, std::string& replies) {
  if (lookedAhead_ == 0) takenState_ = state_;
  for (size_t i = 0; i < count && !failed_; ++i, ++lookedAhead_)
    Step(state_, static_cast<uint8_t>(bytes[i]), nullptr, &replies);
}

void TelnetSession::Step(State& state, uint8_t b, std::string* data, std::string* replies) {
  switch (state) {
    case State::kData:
      if (b == kIac) state = State::kIac;
      else if (data) *data += static_cast<char>(b);
      break;
    case State::kIac:
      if (b == kIac) {
        if (data) *data += static_cast<char>(b);
        state = State::kData;
      } else if (b >= kWill && b <= kDont) {
        if (replies) verb_ = b;
        state = State::kOption;
      } else if (b == kSb) {
        if (replies) sub_.clear();
        state = State::kSub;
      } else {
        // NOP, go-ahead, data mark and the like carry nothing for a port.
        state = State::kData;
      }
      break;
    case State::kOption:
      if (replies) Negotiate(verb_, b, *replies);
      state = State::kData;
      break;
    case State::kSub:
      if (b == kIac) state = State::kSubIac;
      else if (replies) sub_ += static_cast<char>(b);
      break;
    case State::kSubIac:
      if (b == kSe) {
        if (replies) Subnegotiation();
        state = State::kData;
      } else {
        // A doubled 255 is a value byte; any other command inside a
        // subnegotiation is a server's slip and is dropped.
        if (b == kIac && replies) sub_ += static_cast<char>(b);
        state = State::kSub;
      }
      break;
  }
  // A server that never ends its subnegotiation would otherwise have the
  // client keep all it sends.
  if (replies && sub_.size() > kLongestSubnegotiation) {
    failed_ = true;
    sub_.clear();
    sub_.shrink_to_fit();
  }
}

void TelnetSession::Negotiate(uint8_t verb, uint8_t option, std::string& replies) {
  Option& o = options_[option];
  switch (verb) {
    case kDo:
      if (!WeOffer(option)) {
        replies += Command(kWont, option);
      } else if (!o.ourOn) {
        o.ourOn = true;
        if (o.ourAsked) o.ourAsked = false;
        else replies += Command(kWill, option);
      }
      if (option == kComPort && o.ourOn) comPort_ = ComPortOption::kAccepted;
      break;
    case kDont:
      if (o.ourAsked) {
        o.ourAsked = false;
      } else if (o.ourOn) {
        o.ourOn = false;
        replies += Command(kWont, option);
      }
      if (option == kComPort) comPort_ = ComPortOption::kRefused;
      break;
    case kWill:
      if (!WeAccept(option)) {
        replies += Command(kDont, option);
      } else if (!o.hisOn) {
        o.hisOn = true;
        if (o.hisAsked) o.hisAsked = false;
        else replies += Command(kDo, option);
      }
      break;
    case kWont:
      if (o.hisAsked) {
        o.hisAsked = false;
      } else if (o.hisOn) {
        o.hisOn = false;
        replies += Command(kDont, option);
      }
      break;
    default:
      break;
  }
}

void TelnetSession::Subnegotiation() {
  if (sub_.size() < 2 || static_cast<uint8_t>(sub_[0]) != kComPort) return;
  const uint8_t code = static_cast<uint8_t>(sub_[1]);
  if (code < comport::kServerCode || code >= comport::kServerCode + comport::kCommands) return;
  const auto command = static_cast<comport::Command>(code - comport::kServerCode);
  const std::string value = sub_.substr(2);
  const uint8_t first = value.empty() ? 0 : static_cast<uint8_t>(value[0]);
  if (command == comport::kSetControl && !IsFlowControl(first)) return;
  Answer& a = answers_[command];
  ++a.count;
  a.value = value;
  switch (command) {
    case comport::kNotifyLineState: lineFaults_ |= static_cast<uint8_t>(first & comport::kLineFaults); break;
    case comport::kNotifyModemState: modemState_ = first; break;
    case comport::kFlowControlSuspend: suspended_ = true; break;
    case comport::kFlowControlResume: suspended_ = false; break;
    default: break;
  }
}

size_t TelnetSession::BytesHeld() const {
  size_t held = sub_.capacity();
  for (const Answer& a : answers_) held += a.value.capacity();
  return held;
}

uint8_t TelnetSession::TakeLineFaults() {
  const uint8_t faults = lineFaults_;
  lineFaults_ = 0;
  return faults;
}

std::string TelnetSession::EscapeData(const char* bytes, size_t count) {
  std::string out;
  out.reserve(count + count / 16);
  for (size_t i = 0; i < count; ++i) {
    out += bytes[i];
    if (static_cast<uint8_t>(bytes[i]) == kIac) out += bytes[i];
  }
  return out;
}

std::string TelnetSession::ComPortCommand(comport::Command command, const std::string& value) {
  std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                  static_cast<char>(command)};
  out += EscapeData(value.data(), value.size());
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
  return out;
}

std::string TelnetSession::ComPortCommand(comport::Command command, uint8_t value) {
  return ComPortCommand(command, std::string(1, static_cast<char>(value)));
}

std::string TelnetSession::BaudRateCommand(uint32_t baud) {
  const std::string value{static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                          static_cast<char>(baud >> 8), static_cast<char>(baud)};
  return ComPortCommand(comport::kSetBaudRate, value);
}

}  // namespace vemblaric::transport
