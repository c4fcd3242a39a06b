// A shared library that is not a managed-class module.
extern "C" int foreign_plain_answer() { return 42; }
