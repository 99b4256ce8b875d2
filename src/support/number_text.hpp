// Number texts of messages and representations, with the fewest digits that
// read back to the same double.
#pragma once

#include <string>

namespace kelvara {

// "1", "0.001", "-0", "inf", "1e-12", "1.234567e6", "NaN": plain decimal for
// 0, infinities and magnitudes in [1e-4, 1e6), exponent form otherwise.
std::string short_number_text(double value);

// "1.0", "0.001", "-0.0", "1e-6", "1e16", "NaN": always a decimal point in
// plain form, used for magnitudes in [1e-4, 1e16) and 0.
std::string float_number_text(double value);

}  // namespace kelvara
