#include "options.h"

#include <cerrno>
#include <cstdlib>

const char* const kUsage =
    "usage: zelkit_recording_device NAME ADDRESS PASSWORD [--zel PORT] [--http PORT] [--https PORT]\n"
    "                               [--refuse COMMAND:CODE]... [--record FILE] [--count N]\n"
    "  Acts as the device NAME (shown with ADDRESS) for the user service with PASSWORD, on a\n"
    "  Zel port, an HTTP port (Zel through the HTTP tunnel) and an HTTPS port, and prints, decoded,\n"
    "  the recording set-up requests it is given.\n"
    "  --refuse 0x0A360C31:0x41  answers that command with that error code\n"
    "  --record FILE             appends each set-up request there: command word, num, payload in hex\n"
    "  --count N                 ends once N set-up requests came and the clients hung up\n";

namespace {

// A whole number (decimal or 0x hex) up to max.
std::optional<uint32_t> number(const std::string& text, uint32_t max) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool readPort(const std::string& text, uint16_t& port) {
  const auto value = number(text, 65535);
  if (!value || *value == 0) return false;
  port = static_cast<uint16_t>(*value);
  return true;
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv) {
  if (argc < 4) return std::nullopt;
  Options options;
  options.name = argv[1];
  options.address = argv[2];
  options.password = argv[3];
  for (int i = 4; i < argc; i += 2) {
    if (i + 1 == argc) return std::nullopt;
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    bool good = true;
    if (option == "--zel") {
      good = readPort(value, options.zelPort);
    } else if (option == "--http") {
      good = readPort(value, options.httpPort);
    } else if (option == "--https") {
      good = readPort(value, options.httpsPort);
    } else if (option == "--refuse") {
      const size_t colon = value.find(':');
      const auto command = number(value.substr(0, colon), 0xFFFFFFFF);
      const auto code = colon == std::string::npos ? std::nullopt : number(value.substr(colon + 1), 0xFF);
      good = command && code && *code != 0;
      if (good) options.refusals.emplace_back(*command, static_cast<uint16_t>(*code));
    } else if (option == "--record") {
      options.recordFile = value;
    } else if (option == "--count") {
      const auto count = number(value, 1000000);
      good = count.has_value();
      if (good) options.count = *count;
    } else {
      good = false;
    }
    if (!good) return std::nullopt;
  }
  if (options.zelPort == 0 && options.httpPort == 0 && options.httpsPort == 0) return std::nullopt;
  return options;
}
