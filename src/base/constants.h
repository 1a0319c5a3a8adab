// The module's constants as data: each a name, a number, the dictionary of
// the type that exposes it as an attribute (or the module's alone) and how
// its value is made. The tables are in constants.cpp; module.cpp registers
// them.
#ifndef KELVEX_CONSTANTS_H
#define KELVEX_CONSTANTS_H

#include <cstddef>

enum class ConstantDict : unsigned char { Module, Easy, Multi, Share };
enum class ConstantMake : unsigned char { Long, Socket };

struct Constant {
  const char* name;
  long long value;
  ConstantDict dict;
  ConstantMake make;
};

struct ConstantTable {
  const Constant* rows;
  std::size_t count;
};

// The tables in registration order: the module's own list, then what
// libcurl offers beyond it.
extern const ConstantTable kConstantTables[2];

#endif  // KELVEX_CONSTANTS_H
