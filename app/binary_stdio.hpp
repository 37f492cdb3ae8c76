// Standard input and output as plain bytes.
#pragma once

namespace zavro {

// Makes standard input and output carry bytes unchanged: a record read from
// "-" keeps its CR LF, and output is the same bytes on every platform.
void binary_stdio();

}  // namespace zavro
