#pragma once

#include <string>

namespace plumo {

// Structured log lines with a subsystem and a category, through GLib's
// structured logging: to the systemd journal where one runs (errors at its
// error priority), otherwise to standard error, where info lines show only
// when G_MESSAGES_DEBUG names the subsystem or is "all". Never to standard output.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  void info(const std::string& message) const;
  void error(const std::string& message) const;

  // First thing in main, before any library can log; tests install a writer of their own instead.
  static void installWriter();

 private:
  void write(bool isError, const std::string& message) const;

  std::string subsystem_;
  std::string category_;
};

}  // namespace plumo
