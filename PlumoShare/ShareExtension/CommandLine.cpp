#include "CommandLine.h"

#include <algorithm>
#include <glib.h>
#include <memory>
#include <strings.h>

#include "DataItemProvider.h"
#include "ErrorDomain.h"
#include "FileItemProvider.h"
#include "GOwned.h"
#include "LocalFile.h"
#include "OptionParser.h"
#include "Refusal.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"
#include "UTType.h"
#include "WebLinkItemProvider.h"

namespace plumo {

namespace {

constexpr const char* standardInput = "-";
constexpr const char* clipboardStem = "clipboard";

using UnshareableItem = CommandLine::UnshareableItem;

std::string typeIdentifierOf(const std::string& type) {
  if (const auto named = UTType::named(type)) return std::string(named->identifier());
  throw UsageError("unknown type '" + type + "': give a type identifier or a MIME type");
}

bool looksLikeUrl(const std::string& item) {
  return item.find("://") != std::string::npos || ::strncasecmp(item.c_str(), "file:", 5) == 0;
}

std::string statusKeyOf(ShareImportFailure failure) { return "error." + std::string(failure.rawValue()); }

UnshareableItem unsupported(const std::string& message) {
  return UnshareableItem(message, statusKeyOf(ShareImportFailure::unsupported));
}

std::shared_ptr<ItemProvider> fileProvider(const std::filesystem::path& given) {
  std::error_code error;
  // The user named this path: a link they name is followed to what it names.
  const auto path = std::filesystem::canonical(given, error);
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
    throw UnshareableItem(given.string() + ": " + error.message(), "itemMissing");
  }
  if (error) {
    throw UnshareableItem(given.string() + ": " + error.message(),
                          statusKeyOf(ShareImportFailure::category(posixError(error.value()))));
  }
  return std::make_shared<FileItemProvider>(path);
}

std::shared_ptr<ItemProvider> webLinkProvider(const std::string& item) {
  try {
    return WebLinkItemProvider::forLink(item);
  } catch (const Refusal& refused) {
    throw unsupported("'" + item + "': " + refused.what());
  }
}

// An address of another scheme than http and https, which GIO may know.
bool namesAnotherScheme(const std::string& item) {
  const GOwned<gchar> scheme(g_uri_parse_scheme(item.c_str()));
  return scheme && ::strcasecmp(scheme.get(), "http") != 0 && ::strcasecmp(scheme.get(), "https") != 0;
}

// A file URL of this machine, a GIO address with a local file behind it, or a web link.
std::shared_ptr<ItemProvider> urlProvider(const std::string& item) {
  if (::strncasecmp(item.c_str(), "file:", 5) == 0) {
    const auto url = Url::parse(item);
    if (!url) throw unsupported("'" + item + "' is not a valid URL");
    if (!url->isFileUrl()) throw unsupported("'" + item + "' names a file of another computer");
    return fileProvider(url->path());
  }
  if (namesAnotherScheme(item)) {
    if (const auto path = LocalFile::behind(item)) return fileProvider(*path);
  }
  return webLinkProvider(item);
}

std::shared_ptr<ItemProvider> itemProvider(const std::string& item) {
  return looksLikeUrl(item) ? urlProvider(item) : fileProvider(item);
}

// A list of files becomes those files and folders; an image a PNG file; text a text.
void appendClipboard(std::vector<std::shared_ptr<ItemProvider>>& attachments, const ClipboardContents& contents) {
  if (contents.error) {
    const std::error_code error = inGeneralForm(contents.error);
    attachments.push_back(std::make_shared<DataItemProvider>(
        std::string(UTType::data.identifier()), clipboardStem,
        [error](std::size_t, std::error_code& failure) {
          failure = error;
          return Data{};
        }));
  } else if (contents.mimeType == ClipboardContents::fileList) {
    const std::string list(contents.bytes.begin(), contents.bytes.end());
    const GOwnedStrv uris(g_uri_list_extract_uris(list.c_str()));
    for (gchar** uri = uris.get(); *uri != nullptr; ++uri) attachments.push_back(urlProvider(*uri));
  } else {
    const std::string type =
        contents.mimeType == ClipboardContents::image ? "public.png" : std::string(UTType::plainText.identifier());
    attachments.push_back(DataItemProvider::holding(type, clipboardStem, contents.bytes));
  }
}

}  // namespace

CommandLine CommandLine::parse(const std::vector<std::string>& arguments) {
  CommandLine commandLine;
  commandLine.items = OptionParser()
                          .value("--text", [&](const std::string& text) { commandLine.text = text; })
                          .value("--type", [&](const std::string& type) { commandLine.type = type; })
                          .value("--bundle", [&](const std::string& bundle) { commandLine.bundle = bundle; })
                          .flag("--no-ui", commandLine.noUi)
                          .flag("--clipboard", commandLine.clipboard)
                          .flag("--help", commandLine.help)
                          .flag("-h", commandLine.help)
                          .flag("--version", commandLine.version)
                          .parse(arguments);
  if (std::count(commandLine.items.begin(), commandLine.items.end(), standardInput) > 1) {
    throw UsageError("standard input (-) can be shared once");
  }
  return commandLine;
}

ExtensionItem CommandLine::extensionItem(const std::optional<ClipboardContents>& clipboardContents) const {
  ExtensionItem item;
  if (text) item.attributedContentText = AttributedString{*text};
  auto& attachments = item.attachments.emplace();
  for (const auto& given : items) {
    attachments.push_back(given == standardInput ? DataItemProvider::standardInput(typeIdentifierOf(type))
                                                 : itemProvider(given));
  }
  if (clipboardContents) appendClipboard(attachments, *clipboardContents);
  return item;
}

}  // namespace plumo
