#include "core/Assembly.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <climits>
#include <string>

namespace System::Reflection {

namespace {

using get_classes_fn = TClass* (*)(int& count);

// The module handle the assembly was loaded from; it stays loaded.
class TLoadedAssembly : public TAssembly {
public:
    TLoadedAssembly(const UnicodeString& fileName, void* module) : module_(module) { fileName_ = fileName; }
    void SetTypes(const gc_array<Type>& types) { types_ = types; }

private:
    void* module_;
};

UnicodeString FullPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return UnicodeString(std::string_view(buf));
    return UnicodeString(path);
}

} // namespace

TClass TAssembly::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TAssembly, TLockableObject>("TAssembly", "Assembly").Build();
    return &cls;
}

gc_ptr<TAssembly> TAssembly::LoadFile(const UnicodeString& path) {
    if (path.IsEmpty()) throw EArgumentNull("path");
    const std::string file = path.ToUtf8();
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        throw Sysutils::EFileNotFoundException(path + " does not exist");
    // A bare name would send dlopen searching the library path instead of
    // loading the file named.
    const std::string loadName = file.find('/') == std::string::npos ? "./" + file : file;
    void* module = ::dlopen(loadName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = ::dlerror();
        throw EWin32(UnicodeString(why ? why : "The module could not be loaded"));
    }
    auto getClasses = reinterpret_cast<get_classes_fn>(::dlsym(module, NORVANE_MANAGED_CLASSES_EXPORT));
    if (!getClasses) {
        ::dlclose(module);
        throw Sysutils::EInvalidImage("Assembly is not compatible with this framework");
    }
    gc_ptr<TLoadedAssembly> assembly = gcnew<TLoadedAssembly>(FullPath(file), module);
    int count = 0;
    TClass* classes = getClasses(count);
    gc_array<Type> types = gcnew_array<Type>(count);
    for (int i = 0; i < count; ++i) types[i] = typeof_detail::TypeOf(classes[i]);
    assembly->SetTypes(types);
    return gc_ptr<TAssembly>(assembly);
}

} // namespace System::Reflection
