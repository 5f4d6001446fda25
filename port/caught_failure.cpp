#include "port/caught_failure.h"

#include <new>

namespace vemblaric {

const wchar_t* CaughtFailureText(long number) {
  switch (number) {
    case kInvalidProcedureCall: return L"Invalid procedure call or argument";
    case kOverflow: return L"Overflow";
    case kOutOfMemory: return L"Out of memory";
    case kSubscriptOutOfRange: return L"Subscript out of range";
    case kTypeMismatch: return L"Type mismatch";
    default: return L"Application-defined or object-defined error";
  }
}

long CurrentCaughtFailure() {
  try {
    throw;
  } catch (const CaughtFailure& failure) {
    return failure.number;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kInvalidProcedureCall;
  }
}

}  // namespace vemblaric
