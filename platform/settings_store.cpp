// The settings store's batch write for back-ends that have no cheaper one:
// the values go in one by one, in order.
#include "platform/settings_store.h"

namespace bm {

bool SettingsStore::writeBatch(const std::vector<SettingsValue>& values)
{
    bool ok = true;
    for (const SettingsValue& v : values) {
        if (const int* i = std::get_if<int>(&v.value))
            ok = writeInt(v.section, v.name, *i) && ok;
        else
            ok = writeString(v.section, v.name, std::get<std::string>(v.value)) && ok;
    }
    return ok;
}

} // namespace bm
