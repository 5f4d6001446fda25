/* Places of _SerialControl's members in the vtable that Vemblaric.h declares. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct VtablePlace {
  const char* name; /* as the header names the entry: get_Port, put_Port, Open_Com */
  size_t offset;    /* byte offset in the vtable */
};

extern const struct VtablePlace kSerialControlVtable[];
extern const size_t kSerialControlVtableCount;
/* sizeof the whole vtable, IUnknown's and IDispatch's entries included */
extern const size_t kSerialControlVtableSize;

#ifdef __cplusplus
}
#endif
