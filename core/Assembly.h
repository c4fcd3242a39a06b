// Managed-class modules: shared objects that list their managed classes
// through the exported function
//   System::TClass* Norvane_GetManagedClasses_V2(int& count);
// (looked up by its C++ name).
#pragma once
#include "GC/gcarray.h"
#include "core/Objects.h"
#include "core/Type.h"

namespace System::Reflection {

class TAssembly : public TLockableObject {
public:
    NORVANE_CLASS_INFO()

    // Loads the module and lists its classes; the module stays loaded.
    // EArgumentNull for an empty path, EFileNotFoundException when the file
    // is missing, EWin32 when the loader refuses it, EInvalidImage
    // "Assembly is not compatible with this framework" without the export.
    static gc_ptr<TAssembly> LoadFile(const UnicodeString& path);

    UnicodeString ToString() const { return fileName_; }
    UnicodeString GetFileName() const { return fileName_; }
    gc_array<Type> GetTypes() const { return types_; }

protected:
    TAssembly() = default;

    UnicodeString fileName_;
    gc_array<Type> types_;
};

} // namespace System::Reflection

// The C++ name of the export.
#define NORVANE_MANAGED_CLASSES_EXPORT "_Z28Norvane_GetManagedClasses_V2Ri"
