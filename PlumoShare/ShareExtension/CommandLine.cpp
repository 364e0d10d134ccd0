#include "CommandLine.h"

#include <algorithm>
#include <strings.h>

#include "FileItemProvider.h"
#include "ShareImportRules.h"
#include "StandardInputItemProvider.h"
#include "UTType.h"
#include "WebLinkItemProvider.h"

namespace plumo {

namespace {

constexpr const char* standardInput = "-";

std::string typeIdentifierOf(const std::string& type) {
  if (const auto named = UTType::named(type)) return std::string(named->identifier());
  throw CommandLine::UsageError("unknown type '" + type + "': give a type identifier or a MIME type");
}

bool looksLikeUrl(const std::string& item) {
  return item.find("://") != std::string::npos || ::strncasecmp(item.c_str(), "file:", 5) == 0;
}

std::shared_ptr<ItemProvider> fileProvider(const std::filesystem::path& given) {
  std::error_code error;
  // The user named this path: a link they name is followed to what it names.
  const auto path = std::filesystem::canonical(given, error);
  if (error) throw CommandLine::UsageError(given.string() + ": " + error.message());
  return std::make_shared<FileItemProvider>(path);
}

std::shared_ptr<ItemProvider> webLinkProvider(const std::string& item) {
  try {
    return WebLinkItemProvider::forLink(item);
  } catch (const ShareImportRules::LinkRefused& refused) {
    throw CommandLine::UsageError("'" + item + "': " + refused.reason());
  }
}

std::shared_ptr<ItemProvider> urlProvider(const std::string& item) {
  if (::strncasecmp(item.c_str(), "file:", 5) != 0) return webLinkProvider(item);
  const auto url = Url::parse(item);
  if (!url) throw CommandLine::UsageError("'" + item + "' is not a valid URL");
  return fileProvider(url->path());
}

}  // namespace

CommandLine CommandLine::parse(const std::vector<std::string>& arguments) {
  CommandLine commandLine;
  bool optionsEnded = false;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    const auto value = [&]() -> const std::string& {
      if (index + 1 >= arguments.size()) throw UsageError(argument + " needs a value");
      return arguments[++index];
    };
    if (optionsEnded || argument == standardInput || !argument.starts_with("-")) {
      commandLine.items.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--text") {
      commandLine.text = value();
    } else if (argument == "--type") {
      commandLine.type = value();
    } else if (argument == "--bundle") {
      commandLine.bundle = value();
    } else if (argument == "--no-ui") {
      commandLine.noUi = true;
    } else if (argument == "--help" || argument == "-h") {
      commandLine.help = true;
    } else if (argument == "--version") {
      commandLine.version = true;
    } else {
      throw UsageError("unknown option " + argument);
    }
  }
  if (std::count(commandLine.items.begin(), commandLine.items.end(), standardInput) > 1) {
    throw UsageError("standard input (-) can be shared once");
  }
  return commandLine;
}

ExtensionItem CommandLine::extensionItem() const {
  ExtensionItem item;
  if (text) item.attributedContentText = AttributedString{*text};
  auto& attachments = item.attachments.emplace();
  for (const auto& given : items) {
    if (given == standardInput) {
      attachments.push_back(std::make_shared<StandardInputItemProvider>(typeIdentifierOf(type)));
    } else if (looksLikeUrl(given)) {
      attachments.push_back(urlProvider(given));
    } else {
      attachments.push_back(fileProvider(given));
    }
  }
  return item;
}

}  // namespace plumo
