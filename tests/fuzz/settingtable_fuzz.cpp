// Fuzz target: the SET value checks of the settings table, fed varbinds of
// any column, type and value, as a station's SET would carry them.
#include "agent/mibgroup/dtmb/dtmb.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    U32 column = data[0];
    u_char type = data[1];
    data += 2;
    size -= 2;
    netsnmp_variable_list vb;
    memset(&vb, 0, sizeof(vb));
    // The library copies the value as the type says; lengths are as received.
    if (snmp_set_var_typed_value(&vb, type, size ? data : nullptr, size) != 0)
        return 0;
    int ret = settingTable_CheckValue(column, vb.type, vb.val_len);
    if (ret == SNMP_ERR_NOERROR) {
        // What the action phase will read must be there.
        if (vb.type == ASN_INTEGER && vb.val.integer == nullptr)
            abort();
        if (vb.type == ASN_OCTET_STR && vb.val_len > SETTING_NAME_SIZE)
            abort();
        if (vb.type == ASN_OCTET_STR && vb.val_len > 0) {
            const ATSC_ChannelPlan* plan = ATSC_GetChannelPlan(column & 3);
            ATSC_FindChannelByName(plan, reinterpret_cast<const char*>(vb.val.string), vb.val_len);
        }
    }
    snmp_free_var_internals(&vb);
    return 0;
}
