// The two console operations and the fixed texts they show.
#pragma once

#include <string>

namespace zavro {

inline constexpr const char* kSavedMessage =
    "System Details saved to Desktop (ZAVRO_system_info.txt). Press 'Return' key...";
inline constexpr const char* kErrorMessage =
    "Error outputting system information to file. Press any key...";

// Shows text on standard output, with no line break.
void console_message(const char* text);

// Reads one character from standard input; returns at once at its end or on
// failure. Earlier console output is flushed first.
void key_wait();

// Makes the console safe to use whatever the caller left us: a closed or
// broken standard stream must neither kill nor hang the run.
void prepare_console();

}  // namespace zavro
