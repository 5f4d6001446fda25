/*
 * The type library's version and locale, written once: Vemblaric.idl reads
 * them (widl runs the preprocessor), and so do the class table's entry and
 * the type-library writer. The version is major.minor, as IDL writes it.
 */
#ifndef VEMBLARIC_LIBRARY_VERSION_H
#define VEMBLARIC_LIBRARY_VERSION_H

#define VEMBLARIC_LIBRARY_VERSION 20.0
#define VEMBLARIC_LIBRARY_LCID 0x409

#ifdef __cplusplus
namespace vemblaric::library_version {

// The version's major (part 0) or minor (part 1) number, read from its text.
constexpr unsigned short Part(const char* text, int part) {
  while (part > 0 && *text) part -= *text++ == '.';
  unsigned value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + unsigned(*text - '0');
  return static_cast<unsigned short>(value);
}

#define VEMBLARIC_LIBRARY_TEXT_(v) #v
#define VEMBLARIC_LIBRARY_TEXT(v) VEMBLARIC_LIBRARY_TEXT_(v)
constexpr unsigned short kMajor = Part(VEMBLARIC_LIBRARY_TEXT(VEMBLARIC_LIBRARY_VERSION), 0);
constexpr unsigned short kMinor = Part(VEMBLARIC_LIBRARY_TEXT(VEMBLARIC_LIBRARY_VERSION), 1);
constexpr unsigned long kLocale = VEMBLARIC_LIBRARY_LCID;

}  // namespace vemblaric::library_version
#endif

#endif
