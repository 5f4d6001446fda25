/*
 * What a type library entry records that widl cannot write itself. widl
 * passes custom() attributes on to its draft library, and
 * writers/make_typelib applies these two to the entry it writes:
 *
 *   custom(VEMBLARIC_ENTRY_VERSION, "1.0")     the entry's version
 *   custom(VEMBLARIC_ENTRY_NONEXTENSIBLE, 1)   the entry is nonextensible
 *
 * The identifiers are written once, here: the interface descriptions read
 * them (widl runs the preprocessor), and so does make_typelib, from their text.
 */
#ifndef VEMBLARIC_ENTRY_ATTRIBUTES_H
#define VEMBLARIC_ENTRY_ATTRIBUTES_H

#define VEMBLARIC_ENTRY_VERSION 599AD458-070B-4103-8439-3972AD5C213F
#define VEMBLARIC_ENTRY_NONEXTENSIBLE 08477EEE-3980-4B27-A909-710DBAF14824

#endif
