#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/file_names.hpp"

namespace zavro {

namespace {

struct LocalFreer {
  void operator()(wchar_t** p) const { LocalFree(p); }
};

std::string to_utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();  // the terminating NUL
  return result;
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  const std::unique_ptr<wchar_t*, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  // Out of memory: the ANSI arguments still serve most names.
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(to_utf8(wide.get()[i]));
  return arguments;
}

// fopen would take the name in the ANSI code page.
std::FILE* open_named_file(const std::string& name) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, nullptr, 0);
  if (size <= 0) {
    errno = EILSEQ;
    return nullptr;
  }
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, wide.data(), size);
  return _wfopen(wide.c_str(), L"rb");
}

}  // namespace zavro
