// DomainToAscii on libidn2, opened on first use like libcurl (https.cpp):
// a run whose addresses are all ASCII never loads it.
#include <dlfcn.h>
#include <idn2.h>

#include <cstdlib>

#include "base/idna.hpp"

namespace tolvex {
namespace {

using ToAsciiFunction = decltype(&::idn2_to_ascii_8z);
using FreeFunction = decltype(&::idn2_free);

struct Idn2Api {
  ToAsciiFunction toAscii = nullptr;
  FreeFunction free = nullptr;
};

Idn2Api LoadIdn2() {
  Idn2Api api;
  void* lib = ::dlopen("libidn2.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return api;
  api.toAscii = reinterpret_cast<ToAsciiFunction>(::dlsym(lib, "idn2_to_ascii_8z"));
  api.free = reinterpret_cast<FreeFunction>(::dlsym(lib, "idn2_free"));
  return api;
}

}  // namespace

std::optional<std::string> DomainToAscii(std::string_view utf8Domain) {
  static const Idn2Api api = LoadIdn2();
  if (!api.toAscii || !api.free) return std::nullopt;
  const std::string input(utf8Domain);
  char* output = nullptr;
  const int rc = api.toAscii(input.c_str(), &output, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  if (rc != IDN2_OK || !output) return std::nullopt;
  std::string ascii(output);
  api.free(output);
  return ascii;
}

}  // namespace tolvex
