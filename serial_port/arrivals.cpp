#include "serial_port/arrivals.h"

namespace vemblaric::serial_port {
namespace {

constexpr DWORD kLineErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;

}  // namespace

// A slim lock: it makes no handle of its own, also when the threads meet at it.
class Arrivals::Locked {
 public:
  explicit Locked(const Arrivals& a) : lock_(a.lock_) { ::AcquireSRWLockExclusive(&lock_); }
  ~Locked() { ::ReleaseSRWLockExclusive(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SRWLOCK& lock_;
};

Arrivals::Arrivals(Post post, void* context) : post_(post), context_(context) {}

bool Arrivals::DataDue() const { return owed_ || seen_ > reported_; }

void Arrivals::PostDue() {
  // Refused: the flag stays down, and what it would have told stays gathered.
  const auto due = [this](bool wanted, bool& posted, Notice kind) {
    if (wanted && !posted) posted = post_(context_, kind);
  };
  due(failure_ != 0, failurePosted_, Notice::kFailed);
  due(pins_ != 0, pinsPosted_, Notice::kPins);
  due(errors_ != 0, errorsPosted_, Notice::kErrors);
  due(DataDue(), dataPosted_, Notice::kData);
}

void Arrivals::Seen(DWORD queued) {
  Locked hold(*this);
  seen_ = taken_ + queued;
  PostDue();
}

void Arrivals::PinsChanged(DWORD events) {
  Locked hold(*this);
  pins_ |= events;
  PostDue();
}

void Arrivals::Failed(DWORD error) {
  Locked hold(*this);
  if (!failure_) failure_ = error ? error : ERROR_GEN_FAILURE;
  PostDue();
}

void Arrivals::UseEventWait() {
  Locked hold(*this);
  eventWait_ = true;
}

void Arrivals::Retry() {
  Locked hold(*this);
  PostDue();
}

bool Arrivals::Retrying() const {
  Locked hold(*this);
  return (failure_ && !failurePosted_) || (pins_ && !pinsPosted_) || (errors_ && !errorsPosted_) ||
         (DataDue() && !dataPosted_);
}

bool Arrivals::FailurePosted() const {
  Locked hold(*this);
  return failurePosted_;
}

void Arrivals::Cleared(DWORD errors) {
  Locked hold(*this);
  errors_ |= errors & kLineErrors;
  // Without the event wait a break shows only as its error flag.
  if (!eventWait_ && (errors & CE_BREAK)) pins_ |= EV_BREAK;
  PostDue();
}

void Arrivals::Took(DWORD count) {
  Locked hold(*this);
  taken_ += count;
}

unsigned long long Arrivals::Arrived(DWORD queued) const {
  Locked hold(*this);
  return taken_ + queued;
}

void Arrivals::Done(unsigned long long arrived) {
  reported_ = arrived;
  dataPosted_ = false;
  // Bytes a look saw while the notice was on its way get one more notice
  // now: the watcher of an event wait looks again only when more come. Once
  // only, so a count that went down (a discarded queue) cannot keep posting.
  if (seen_ > reported_) owed_ = true;
  seen_ = 0;
  PostDue();
}

bool Arrivals::StartData(size_t available, unsigned long long arrived, size_t threshold) {
  Locked hold(*this);
  if (raising_) return false;  // the running handler's EndData decides
  owed_ = false;
  if (available == 0 || available < threshold) {
    belowThreshold_ = available > 0;
    Done(arrived);
    return false;
  }
  belowThreshold_ = false;
  raising_ = true;
  raisedArrived_ = arrived;
  raisedAvailable_ = available;
  return true;
}

void Arrivals::EndData(size_t available, unsigned long long arrived, size_t threshold) {
  Locked hold(*this);
  raising_ = false;
  const bool enough = available > 0 && available >= threshold;
  // A handler that took some is called again for what it left; one that
  // took none only when more arrive.
  owed_ = enough && (arrived > raisedArrived_ || available < raisedAvailable_);
  belowThreshold_ = available > 0 && !enough;
  Done(arrived);
}

void Arrivals::ThresholdLowered() {
  Locked hold(*this);
  if (!belowThreshold_) return;
  owed_ = true;
  PostDue();
}

DWORD Arrivals::TakePins() {
  Locked hold(*this);
  pinsPosted_ = false;
  const DWORD pins = pins_;
  pins_ = 0;
  return pins;
}

DWORD Arrivals::TakeErrors() {
  Locked hold(*this);
  errorsPosted_ = false;
  const DWORD errors = errors_;
  errors_ = 0;
  return errors;
}

DWORD Arrivals::TakeFailure() {
  Locked hold(*this);
  return failure_;
}

}  // namespace vemblaric::serial_port
