// A managed-class module that lists no class.
#include "rtl/TypInfo.h"

System::TClass* Norvane_GetManagedClasses_V2(int& count) {
    count = 0;
    return nullptr;
}
