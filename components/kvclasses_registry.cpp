// The core's classes as the form-file reader knows them. They publish nothing
// themselves; descendants publish the properties they choose.
#include "components/kvclasses.h"

#include "toolkit/forms.h"

void RegisterKvClasses() {
    static bool done = false;
    if (done)
        return;
    done = true;
    RegisterControlClasses();
    RegisterComponentClass<TkvBaseIO>(L"TkvBaseIO", nullptr);
    RegisterComponentClass<TkvCustomDataProcessor>(L"TkvCustomDataProcessor", nullptr);
    RegisterComponentClass<TkvCustomLogFile>(L"TkvCustomLogFile", nullptr);
}
