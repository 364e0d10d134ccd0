#include "Logger.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <glib.h>

namespace plumo {

namespace {

constexpr const char* subsystemField = "PLUMO_SUBSYSTEM";
constexpr const char* categoryField = "PLUMO_CATEGORY";

const char* fieldValue(const GLogField* fields, gsize count, const char* key) {
  for (gsize index = 0; index < count; ++index) {
    if (std::strcmp(fields[index].key, key) == 0) return static_cast<const char*>(fields[index].value);
  }
  return "";
}

// As GLib names the levels in its own lines.
const char* levelName(GLogLevelFlags level) {
  if (level & G_LOG_LEVEL_ERROR) return "ERROR";
  if (level & G_LOG_LEVEL_CRITICAL) return "CRITICAL";
  if (level & G_LOG_LEVEL_WARNING) return "WARNING";
  if (level & G_LOG_LEVEL_MESSAGE) return "Message";
  if (level & G_LOG_LEVEL_INFO) return "INFO";
  return "DEBUG";
}

// Lines of our own read "<subsystem> <category>: message"; those of the libraries
// keep their domain and level, as "GLib-GIO-DEBUG: message".
// The libraries' debug and info lines are dropped unless G_MESSAGES_DEBUG names their
// domain, in the journal too; our own info lines always reach the journal, which keeps
// them by their priority, and reach standard error only as G_MESSAGES_DEBUG asks.
GLogWriterOutput writeLine(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  const char* domain = fieldValue(fields, count, "GLIB_DOMAIN");
  const bool ours = *fieldValue(fields, count, subsystemField) != '\0';
  const bool dropped = g_log_writer_default_would_drop(level, domain);
  if (dropped && !ours) return G_LOG_WRITER_HANDLED;
  if (g_log_writer_is_journald(fileno(stderr)) &&
      g_log_writer_journald(level, fields, count, nullptr) == G_LOG_WRITER_HANDLED) {
    return G_LOG_WRITER_HANDLED;
  }
  if (dropped) return G_LOG_WRITER_HANDLED;
  const char* message = fieldValue(fields, count, "MESSAGE");
  if (ours) {
    std::fprintf(stderr, "%s %s: %s\n", fieldValue(fields, count, subsystemField),
                 fieldValue(fields, count, categoryField), message);
  } else {
    std::fprintf(stderr, "%s%s%s: %s\n", domain, *domain != '\0' ? "-" : "", levelName(level), message);
  }
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void Logger::info(const std::string& message) const { write(false, message); }

void Logger::error(const std::string& message) const { write(true, message); }

// GLib's ERROR level aborts the process: errors go out as CRITICAL with the journal's error priority.
void Logger::write(bool isError, const std::string& message) const {
  const GLogField fields[] = {
      {"MESSAGE", message.c_str(), -1},
      {"PRIORITY", isError ? "3" : "6", -1},
      {"GLIB_DOMAIN", subsystem_.c_str(), -1},
      {"SYSLOG_IDENTIFIER", program_invocation_short_name, -1},
      {subsystemField, subsystem_.c_str(), -1},
      {categoryField, category_.c_str(), -1},
  };
  g_log_structured_array(isError ? G_LOG_LEVEL_CRITICAL : G_LOG_LEVEL_INFO, fields, G_N_ELEMENTS(fields));
}

void Logger::installWriter() { g_log_set_writer_func(writeLine, nullptr, nullptr); }

}  // namespace plumo
