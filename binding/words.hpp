// The words a caller passes as text, read at the boundary: the core only ever sees the enums.
// Free of Python.h, so that the C++ tests and the fuzzer can reach it.
#pragma once

#include <string>
#include <string_view>

#include "core/types.hpp"

namespace vollan::py {

// Parses "mean", "var" or "distribution", ignoring ASCII letter case only.
Result<ChangeType> parse_change_type(std::string_view text);

// Accepts "thread" or "process", ignoring ASCII letter case only.
Result<void> check_backend(std::string_view text);

// Quotes text as the change-type error message shows it: escapes for \t \r \n \0 \\ \", \u{hex}
// for non-printable and combining code points, everything else verbatim.
std::string quote_for_message(std::string_view utf8);

}  // namespace vollan::py
