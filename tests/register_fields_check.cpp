// Compiled, not run: the register map refuses bad fields and constants when compiling.
// REGISTER_FIELDS_CASE 0 compiles; each other case must fail to compile.
#include "hardware/registers.h"

namespace {
constexpr reg::Field NIBBLE = reg::bits(0x10, 7, 4);
static_assert(reg::field_const<NIBBLE, 0xF>() == 0xF0, "a fitting constant lands in place");
static_assert(reg::field_get(NIBBLE, 0xA5) == 0xA && reg::field_prep(NIBBLE, 0x1B) == 0xB0, "get/prep");
#if REGISTER_FIELDS_CASE == 1
constexpr reg::Field REVERSED = reg::bits(0x10, 3, 4);  // hi below lo
#elif REGISTER_FIELDS_CASE == 2
constexpr reg::Field BEYOND = reg::bit(0x10, 32);  // past bit 31
#elif REGISTER_FIELDS_CASE == 3
constexpr uint32_t TOO_BIG = reg::field_const<NIBBLE, 0x10>();  // 5 bits into 4
#elif REGISTER_FIELDS_CASE == 4
constexpr uint32_t WIDE = reg::field_const<reg::qos::CONTROL, 8>();  // a real 3-bit field
#endif
}  // namespace
