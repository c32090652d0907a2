#include "resources/resources.h"

// Begin and end symbols of the resources placed in the image by the generated
// assembler file of each launcher build.
#define QUENZA_DECLARE_RESOURCE(id)                         \
  extern "C" uint8_t const quenza_resource_##id##_begin[]; \
  extern "C" uint8_t const quenza_resource_##id##_end[];

QUENZA_DECLARE_RESOURCE(101)
QUENZA_DECLARE_RESOURCE(102)
QUENZA_DECLARE_RESOURCE(103)
QUENZA_DECLARE_RESOURCE(104)
QUENZA_DECLARE_RESOURCE(105)

namespace Resources {

Range find(int id) {
  Range r;
  switch (id) {
#define QUENZA_RESOURCE_CASE(n)        \
  case n:                              \
    r.first = quenza_resource_##n##_begin; \
    r.end = quenza_resource_##n##_end;     \
    break;
    QUENZA_RESOURCE_CASE(101)
    QUENZA_RESOURCE_CASE(102)
    QUENZA_RESOURCE_CASE(103)
    QUENZA_RESOURCE_CASE(104)
    QUENZA_RESOURCE_CASE(105)
#undef QUENZA_RESOURCE_CASE
    default:
      return {};
  }
  if (r.end <= r.first) return {};
  return r;
}

}  // namespace Resources
