// Caught failures: a failure raised inside a member that is not a failed
// system call. It is thrown inside the member and caught at the member's own
// edge, where it is recorded under the member's name; it never escapes.
// Numbers and texts are the ones automation hosts know.
#pragma once

namespace vemblaric {

enum CaughtFailureNumber : long {
  kInvalidProcedureCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
};

struct CaughtFailure {
  long number;
};

// The description of a caught failure ("Subscript out of range" for 9);
// "Application-defined or object-defined error" for a number without one.
const wchar_t* CaughtFailureText(long number);

// Maps whatever a member caught to the number it records: a CaughtFailure keeps
// its number, an exhausted allocation is 7, anything else is 5. Call only from
// inside a catch block.
long CurrentCaughtFailure();

}  // namespace vemblaric
