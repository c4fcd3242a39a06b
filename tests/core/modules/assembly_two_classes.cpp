// A managed-class module listing two classes.
#include "core/Objects.h"

namespace {

class TFirstPlugin : public System::TLockableObject {
public:
    NORVANE_CLASS_INFO()
};
class TSecondPlugin : public TFirstPlugin {
public:
    NORVANE_CLASS_INFO()
};

System::TClass TFirstPlugin::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TFirstPlugin, System::TLockableObject>("TFirstPlugin", "PluginUnit").Build();
    return &cls;
}
System::TClass TSecondPlugin::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TSecondPlugin, TFirstPlugin>("TSecondPlugin", "PluginUnit").Build();
    return &cls;
}

} // namespace

System::TClass* Norvane_GetManagedClasses_V2(int& count) {
    static System::TClass classes[2];
    classes[0] = TFirstPlugin::StaticClass();
    classes[1] = TSecondPlugin::StaticClass();
    count = 2;
    return classes;
}
