#include "report/console.hpp"

namespace zavro {

// Nothing to do: the C runtime turns a write to a missing or broken standard
// handle into a failed write and a read into end of file, and Windows raises
// no signal for a broken pipe; the report is written through its own handle.
void prepare_console() {}

}  // namespace zavro
