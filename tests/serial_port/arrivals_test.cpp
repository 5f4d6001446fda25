// The bookkeeping a port's watcher and the object's thread share, walked
// through its sequences with a posting function that records, and refuses
// when told to, as a full queue does.
#include <gtest/gtest.h>

#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serial_port/arrivals.h"

namespace vemblaric::serial_port {
namespace {

// One opening's arrivals (a new one after "reopen", the old one kept for
// "old ..."), and the letters of the notices posted: D data, P pins,
// E errors, F failure.
class Host {
 public:
  Host() : now_(std::make_unique<Arrivals>(&Host::Post, this)) {}

  // Runs one step, "verb numbers..."; returns what it posted and answered.
  std::string Run(const std::string& step) {
    std::istringstream in(step);
    std::string verb;
    in >> verb;
    Arrivals* a = now_.get();
    if (verb == "old") {
      a = old_.get();
      in >> verb;
    }
    unsigned long long x = 0, y = 0, z = 0;
    in >> std::setbase(0) >> x >> y >> z;
    const auto n = static_cast<DWORD>(x);
    const auto available = static_cast<size_t>(x), threshold = static_cast<size_t>(z);
    posted_.clear();
    std::string answer;
    if (verb == "seen") a->Seen(n);
    else if (verb == "took") a->Took(n);
    else if (verb == "pins") a->PinsChanged(n);
    else if (verb == "cleared") a->Cleared(n);
    else if (verb == "failed") a->Failed(n);
    else if (verb == "eventwait") a->UseEventWait();
    else if (verb == "retry") a->Retry();
    else if (verb == "lower") a->ThresholdLowered();
    else if (verb == "refuse") refusing_ = true;
    else if (verb == "accept") refusing_ = false;
    else if (verb == "start") answer = a->StartData(available, y, threshold) ? "raise" : "";
    else if (verb == "end") a->EndData(available, y, threshold);
    else if (verb == "takepins") answer = Hex(a->TakePins());
    else if (verb == "takeerrors") answer = Hex(a->TakeErrors());
    else if (verb == "takefailure") answer = Hex(a->TakeFailure());
    else if (verb == "retrying") answer = a->Retrying() ? "yes" : "no";
    else if (verb == "failureposted") answer = a->FailurePosted() ? "yes" : "no";
    else if (verb == "reopen") {
      old_ = std::move(now_);
      now_ = std::make_unique<Arrivals>(&Host::Post, this);
    } else {
      ADD_FAILURE() << "no such step: " << step;
    }
    return posted_ + (!posted_.empty() && !answer.empty() ? " " : "") + answer;
  }

 private:
  static bool Post(void* context, Notice kind) {
    auto* host = static_cast<Host*>(context);
    host->posted_ += "?DPEF"[static_cast<unsigned>(kind)];
    return !host->refusing_;
  }
  static std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
  }

  std::unique_ptr<Arrivals> now_, old_;
  std::string posted_;
  bool refusing_ = false;
};

// Each step is "verb numbers" or "verb numbers -> what it posted and
// answered"; a step without an arrow posts and answers nothing. The data
// steps: start/end available arrived threshold.
struct Sequence {
  const char* what;
  std::vector<std::string> steps;
};

const Sequence kSequences[] = {
    {"bytes arrive: one notice until the handler took them all",
     {"seen 5 -> D", "seen 8", "start 8 8 1 -> raise", "took 8", "end 0 8 1", "seen 0", "seen 1 -> D"}},
    {"the handler takes some: called again for the rest, then only for new bytes",
     {"seen 5 -> D", "start 5 5 1 -> raise", "took 2", "end 3 5 1 -> D", "start 3 5 1 -> raise",
      "end 3 5 1", "seen 3", "seen 4 -> D"}},
    {"the handler takes none: not again until more arrive",
     {"seen 5 -> D", "start 5 5 1 -> raise", "end 5 5 1", "seen 5", "seen 6 -> D"}},
    {"bytes come while the handler runs: called again",
     {"seen 2 -> D", "start 2 2 1 -> raise", "seen 4", "end 4 4 1 -> D"}},
    {"a look saw more than the host counted: one more notice, once",
     {"seen 5 -> D", "seen 9", "start 5 5 10 -> D", "start 9 9 10", "seen 9"}},
    {"a notice reaching a running handler is the handler's to settle",
     {"seen 5 -> D", "start 5 5 1 -> raise", "start 5 5 1", "end 5 5 1"}},
    {"below the threshold, then lowered to the bytes queued",
     {"seen 5 -> D", "start 5 5 10", "seen 5", "lower -> D", "start 5 5 5 -> raise"}},
    {"lowered, but still above the bytes queued",
     {"seen 5 -> D", "start 5 5 10", "lower -> D", "start 5 5 8", "seen 6 -> D"}},
    {"lowered after a handler that took none: already told",
     {"seen 5 -> D", "start 5 5 1 -> raise", "end 5 5 1", "lower"}},
    {"lowered after a handler that left fewer than the threshold",
     {"seen 12 -> D", "start 12 12 10 -> raise", "took 8", "end 4 12 10", "lower -> D",
      "start 4 12 3 -> raise"}},
    {"raised inside the handler, lowered after it",
     {"seen 6 -> D", "start 6 6 1 -> raise", "end 6 6 10", "lower -> D", "start 6 6 6 -> raise"}},
    {"a refused data notice is posted again by the next look",
     {"refuse", "seen 5 -> D", "retrying -> yes", "seen 5 -> D", "accept", "seen 5 -> D", "retrying -> no",
      "seen 6"}},
    {"a refused repost for bytes a handler left is posted by the next retry",
     {"seen 5 -> D", "start 5 5 1 -> raise", "took 1", "refuse", "end 4 5 1 -> D", "accept",
      "retry -> D", "start 4 5 1 -> raise"}},
    {"pin changes while refused make one notice with all their bits",
     {"refuse", "pins 0x8 -> P", "pins 0x10 -> P", "accept", "retry -> P", "pins 0x100", "retry",
      "takepins -> 0x118", "pins 0x8 -> P"}},
    {"line errors from the host's calls and the watcher's are gathered",
     {"cleared 0x8 -> E", "cleared 0x2", "cleared 0", "takeerrors -> 0xa", "takeerrors -> 0x0",
      "cleared 0x4 -> E"}},
    {"polled: a break found by any ClearCommError is a pin change",
     {"cleared 0x10 -> P", "cleared 0x18 -> E", "takepins -> 0x40", "takeerrors -> 0x8"}},
    {"with the event wait: a break is told from its event alone",
     {"eventwait", "cleared 0x10", "pins 0x40 -> P", "takepins -> 0x40"}},
    {"a failure is posted until one is accepted, then no more",
     {"refuse", "failed 21 -> F", "failureposted -> no", "retry -> F", "accept", "retry -> F",
      "failureposted -> yes", "retry", "failed 5", "takefailure -> 0x15"}},
    {"a failure with no code still says the device failed",
     {"failed 0 -> F", "takefailure -> 0x1f"}},
    {"closed and opened again inside the handler: the new opening raises its own",
     {"seen 3 -> D", "start 3 3 1 -> raise", "reopen", "seen 2 -> D", "start 2 2 1 -> raise",
      "took 2", "end 0 2 1", "seen 1 -> D", "old seen 9"}},
};

TEST(Arrivals, SequencesPostAndAnswerByTheirRules) {
  for (const Sequence& sequence : kSequences) {
    SCOPED_TRACE(sequence.what);
    Host host;
    for (const std::string& step : sequence.steps) {
      const size_t arrow = step.find(" -> ");
      const std::string expected = arrow == std::string::npos ? "" : step.substr(arrow + 4);
      EXPECT_EQ(host.Run(step.substr(0, arrow)), expected) << step;
    }
  }
}

}  // namespace
}  // namespace vemblaric::serial_port
