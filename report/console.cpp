#include "report/console.hpp"

#include <iostream>

namespace zavro {

void console_message(const char* text) { std::cout << text; }

void key_wait() {
  std::cin.tie(&std::cout);
  std::cin.get();
}

}  // namespace zavro
