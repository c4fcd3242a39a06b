#include "rtl/TypeName.h"

#include <cxxabi.h>
#include <cstdlib>
#include <memory>

namespace System {

std::string QualifiedTypeName(const std::type_info& ti) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(ti.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && d ? std::string(d.get()) : std::string(ti.name());
}

std::string ShortTypeName(const std::type_info& ti) {
    std::string q = QualifiedTypeName(ti);
    // Find the last "::" outside template brackets.
    int depth = 0;
    std::size_t cut = 0;
    for (std::size_t i = 0; i + 1 < q.size(); ++i) {
        if (q[i] == '<') ++depth;
        else if (q[i] == '>') --depth;
        else if (depth == 0 && q[i] == ':' && q[i + 1] == ':') cut = i + 2;
    }
    return q.substr(cut);
}

} // namespace System
