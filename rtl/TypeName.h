// Readable class names from C++ type information.
#pragma once
#include <string>
#include <typeinfo>

namespace System {

// Demangled, namespace-qualified name, for example "System::Threading::TMonitor".
std::string QualifiedTypeName(const std::type_info& ti);
// The last component of the qualified name (template arguments kept).
std::string ShortTypeName(const std::type_info& ti);

} // namespace System
