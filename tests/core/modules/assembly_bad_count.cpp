// A managed-class module reporting a negative class count.
#include "rtl/TypInfo.h"

System::TClass* Norvane_GetManagedClasses_V2(int& count) {
    count = -1;
    return nullptr;
}
