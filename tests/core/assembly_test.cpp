// Loading managed-class modules: the class list, and every way loading fails.
#include "core/Assembly.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "tests/support.h"
#include "tests/temp_dir.h"

namespace {

using System::Reflection::TAssembly;
using testing_support::message_of;

std::string Module(const char* name) { return std::string(NORVANE_TEST_BIN_DIR) + "/" + name + ".so"; }

bool IsLoaded(const std::string& path) {
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) ::dlclose(h);
    return h != nullptr;
}

TEST(Assembly, ListsTheClassesOfItsModule) {
    gc_ptr<TAssembly> a = TAssembly::LoadFile(UnicodeString(Module("assembly_two_classes")));
    gc_array<System::Type> types = a->GetTypes();
    ASSERT_EQ(types.Length(), 2);
    EXPECT_EQ(types[0].GetFullName().ToUtf8(), "TFirstPlugin");
    EXPECT_EQ(types[1].ToString().ToUtf8(), "TSecondPlugin");
    EXPECT_EQ(types[1].GetModuleName().ToUtf8(), "PluginUnit");
    EXPECT_TRUE(types[1].IsSubclassOf(types[0]));
    EXPECT_FALSE(types[0].IsSubclassOf(types[1]));
    EXPECT_TRUE(types[0].IsSubclassOf(System::Type(System::TLockableObject::StaticClass())));
    EXPECT_EQ(a->ToString().ToUtf8(), Module("assembly_two_classes"));
    EXPECT_TRUE(IsLoaded(Module("assembly_two_classes"))); // stays loaded
}

TEST(Assembly, ModuleWithoutClassesGivesAnEmptyList) {
    gc_ptr<TAssembly> a = TAssembly::LoadFile(UnicodeString(Module("assembly_no_classes")));
    EXPECT_EQ(a->GetTypes().Length(), 0);
}

TEST(Assembly, ExpandsARelativePath) {
    const std::string dir = NORVANE_TEST_BIN_DIR;
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    std::string name;
    try {
        name = TAssembly::LoadFile("assembly_no_classes.so")->ToString().ToUtf8();
    } catch (...) {
    }
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(name, Module("assembly_no_classes"));
}

TEST(Assembly, LibraryWithoutTheExportIsRefusedAndUnloaded) {
    const std::string path = Module("foreign_plain");
    ASSERT_FALSE(IsLoaded(path));
    EXPECT_EQ(message_of<Sysutils::EInvalidImage>([&] { TAssembly::LoadFile(UnicodeString(path)); }),
              "Assembly is not compatible with this framework");
    EXPECT_FALSE(IsLoaded(path));
}

TEST(Assembly, LoadFailures) {
    testing_support::TempDir dir;
    testing_support::WriteBytes(dir.file("not-a-library.so"), "plain text, not an object file\n");
    try {
        TAssembly::LoadFile("");
        ADD_FAILURE() << "an empty path was accepted";
    } catch (const System::EArgumentNull& e) {
        EXPECT_EQ(e.ParamName().ToUtf8(), "path");
    }
    const std::string missing = dir.file("missing.so");
    EXPECT_EQ(message_of<Sysutils::EFileNotFoundException>([&] { TAssembly::LoadFile(UnicodeString(missing)); }),
              missing + " does not exist");
    EXPECT_EQ(message_of<Sysutils::EFileNotFoundException>([&] { TAssembly::LoadFile(UnicodeString(dir.file(""))); }),
              dir.file("") + " does not exist"); // a folder is no module
    EXPECT_NE(message_of<System::EWin32>([&] { TAssembly::LoadFile(UnicodeString(dir.file("not-a-library.so"))); }),
              "no exception");
    EXPECT_EQ(message_of<Exception>([] { TAssembly::LoadFile(UnicodeString(Module("assembly_bad_count"))); }),
              "gcnew_array cannot allocate array of -1 elements");
}

} // namespace
