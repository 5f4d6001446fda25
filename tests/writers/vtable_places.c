/* The C view of Vemblaric.h is a plain struct of function pointers, so the
   places it gives each member can be read with offsetof and compared with the
   places the type library records. */
#include "Vemblaric.h"
#include "vtable_places.h"

#define PLACE(entry) { #entry, offsetof(_SerialControlVtbl, entry) }

const struct VtablePlace kSerialControlVtable[] = {
    PLACE(Open_Com),     PLACE(Close_Com),       PLACE(Read_Com),    PLACE(Write_Com),
    PLACE(get_Port),     PLACE(put_Port),        PLACE(get_Baud),    PLACE(put_Baud),
    PLACE(get_Status),   PLACE(put_Status),      PLACE(Clear_Com),   PLACE(get_Buffer),
    PLACE(put_Buffer),   PLACE(get_Company),     PLACE(ControlOn),   PLACE(ControlOff),
    PLACE(waitnow),      PLACE(GetSystemMessage), PLACE(CommOpen),   PLACE(CommSet),
    PLACE(CommClose),    PLACE(CommFlush),       PLACE(CommRead),    PLACE(CommWrite),
    PLACE(CommGetLine),  PLACE(CommSetLine),     PLACE(CommGetError), PLACE(settingeval),
    PLACE(looprocess),   PLACE(close_Com_norm),  PLACE(get_Version),
};
const size_t kSerialControlVtableCount = sizeof kSerialControlVtable / sizeof kSerialControlVtable[0];
const size_t kSerialControlVtableSize = sizeof(_SerialControlVtbl);
