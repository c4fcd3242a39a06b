// Argument checks shared by the networking classes.
#pragma once

namespace System::Net {

class ValidationHelper {
public:
    static bool ValidateTcpPort(int port) { return port >= 0 && port <= 0xFFFF; }
};

} // namespace System::Net
